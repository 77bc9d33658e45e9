// high/: the upper layer, which may use the lower one.
// May call: low/.
#pragma once

#include "low/low.h"

int High();
