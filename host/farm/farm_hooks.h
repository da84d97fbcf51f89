// Points where the test copy of the program (tests/support/test_hooks.cpp)
// steers a farm task. The product sets none.
#pragma once

namespace lumatrice::farm::hooks {

// Called before chunk `index` runs its command; may block until a test lets
// it go (a cancel's signal interrupts it).
inline void (*before_chunk)(int index) = nullptr;

}  // namespace lumatrice::farm::hooks
