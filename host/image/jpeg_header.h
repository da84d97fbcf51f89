// A JPEG file's header read into the host's own FrameSpec through libjpeg,
// for the files the host splices itself; every other JPEG is left to the
// image library, so what either reader makes of a file is the same.
#pragma once

#include <cstddef>
#include <string>

#include "frame_spec.h"

namespace lumatrice {

// Describes the JPEG file of `size` bytes at `data`, or the file at `path`
// when `data` is null, when it is an 8-bit sequential (not progressive)
// YCbCr or RGB file whose first scan holds every component, with no EXIF
// data (an empty directory aside), no XMP, ICC or Photoshop marker and no
// comment holding a zero byte, and
// libjpeg reads its header without a warning. Texts (colour space,
// subsampling, description, resolution unit) come as the image library
// names them. False with `why` for anything else.
bool DescribeJpeg(const std::string& path, const std::byte* data, std::size_t size,
                  FrameSpec& spec, std::string& why);

// The size, channel count and sample type of the JPEG file at `path` as the
// image library reads it (channel names by number); false with `why` when
// it is no readable JPEG.
bool JpegShape(const std::string& path, FrameSpec& spec, std::string& why);

}  // namespace lumatrice
