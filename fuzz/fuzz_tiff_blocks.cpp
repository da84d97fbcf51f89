// Fuzz target: a .tif frame file from any bytes, through the strip and tile
// tables, block reads and a spliced write (fuzz_image.h).
#include "fuzz_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzzimage::Run(data, size, ".tif", true);
}
