// Fuzz target: a .png frame file from any bytes, through its header, the
// bands of rows, a spliced write and its read-back (fuzz_image.h).
#include "fuzz_image.h"

// The image library's PNG reader copies its error text (geterror) in the
// read callback that libpng then leaves by longjmp, so the copy is never
// freed; the fast unwinder stops at that frame, so it is named.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:ImageInput::geterror\n";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzzimage::Run(data, size, ".png");
}
