// The frei0r 1.2 header (frei0r-plugins-dev) declares its functions without
// C linkage for C++: included through here, they get it.
#pragma once

extern "C" {
#include <frei0r.h>
}
