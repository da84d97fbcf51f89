// Points where the test copy of the program (tests/support/test_hooks.cpp)
// steers a frame write. The product sets none, so nothing in its environment
// can stop a write or fix a temporary's name.
#pragma once

#include <string>

namespace lumatrice::write_hooks {

// Called when a frame (or a movie) is written, before it is read back and renamed.
inline void (*before_rename)() = nullptr;
// The random part of the first temporary name to try; "" leaves it random.
inline std::string (*temp_nonce)() = nullptr;

}  // namespace lumatrice::write_hooks
