#include "low/low.h"
#include "high/high.h"  // planted: an include that runs upward

int Low() { return 1; }
