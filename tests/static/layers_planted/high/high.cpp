#include "high/high.h"

int High() { return Low() + 1; }
