// A TIFF file's header read into the host's own FrameSpec through libtiff,
// for the layouts the host splices itself; every other TIFF is left to the
// image library, so what either reader makes of a file is the same.
#pragma once

#include <cstddef>
#include <string>

#include "frame_spec.h"

namespace lumatrice {

// Describes the TIFF file of `size` bytes at `data`, or the file at `path`
// when `data` is null, when it is one image in strips or tiles, chunky,
// RGB or grey with any extra samples, 8- or 16-bit unsigned or 32-bit
// float, uncompressed, LZW, Deflate or PackBits, and every text tag it holds
// (EXIF and GPS directories included) is one the image library names as
// below. Channels, alpha and texts come as the image library names them.
// False with `why` for anything else, or a header that cannot be read.
bool DescribeTiff(const std::string& path, const std::byte* data, std::size_t size,
                  FrameSpec& spec, std::string& why);

// The size, channel count and sample types of the TIFF file at `path`,
// whatever its layout (channel names by number); false with `why` when it
// is no TIFF or of a sample type no frame holds.
bool TiffShape(const std::string& path, FrameSpec& spec, std::string& why);

}  // namespace lumatrice
