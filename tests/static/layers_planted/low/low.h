// low/: the lower layer of the planted fault.
// May call: platform/ only.
#pragma once

int Low();
