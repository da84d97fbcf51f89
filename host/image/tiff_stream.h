// libtiff handles over a file's bytes in memory, an output file or a
// growing buffer, for the TIFF splicer and header reader.
#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumatrice {

class OutFile;

// A stream position over the input's bytes or the output file.
struct TiffStream {
  const std::byte* data = nullptr;  // input
  uint64_t size = 0;
  OutFile* file = nullptr;  // output
  std::vector<std::byte>* sink = nullptr;  // output in memory
  uint64_t pos = 0;
};

// Over `stream`, or with a null one the file at `path` (or descriptor `fd`);
// libtiff's first error goes to `messages`, its warnings nowhere. Null when
// it is no TIFF.
TIFF* OpenTiff(const std::string& path, const char* mode, TiffStream* stream, std::string& messages,
               int fd = -1);

}  // namespace lumatrice
