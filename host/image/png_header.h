// A PNG file's header read into the host's own FrameSpec through libpng, for
// the layouts the host splices itself; every other PNG is left to the image
// library, so what either reader makes of a file is the same.
#pragma once

#include <cstddef>
#include <string>

#include "frame_spec.h"

namespace lumatrice {

// Describes the PNG file of `size` bytes at `data`, or the file at `path`
// when `data` is null, when it is 8- or 16-bit grey, grey with alpha, RGB or
// RGBA, not interlaced, without transparency, ICC, EXIF or calibration
// chunks, and its texts hold no XMP or EXIF and no two names differing only
// in case. Channels, alpha, the pixel offset and texts (colour space, time,
// resolution unit, the text chunks) come as the image library names them.
// False with `why` for anything else, or a header that cannot be read.
bool DescribePng(const std::string& path, const std::byte* data, std::size_t size,
                 FrameSpec& spec, std::string& why);

// The size, channel count and sample type of the PNG file at `path` as the
// image library reads it, whatever its layout (channel names by number);
// false with `why` when it is no readable PNG.
bool PngShape(const std::string& path, FrameSpec& spec, std::string& why);

}  // namespace lumatrice
