// An EXR file's header read into the host's own FrameSpec through OpenEXR's
// core library, for the files the host splices itself; every other EXR is
// left to the image library, so what either reader makes of a file is the
// same.
#pragma once

#include <cstddef>
#include <string>

#include "frame_spec.h"

namespace lumatrice {

class InputFile;

// Describes the EXR file of `size` bytes at `data`, or the file at `path`
// when `data` is null, when it is one flat scanline part in increasing line
// order, compressed in a way the core library codes back, with every channel
// full-resolution and of one sample type (half, or float but for B44). The
// channels come in the image library's order (per layer, R G B before A,
// then the rest by name). False with `why` for anything else, or a header
// that cannot be read.
bool DescribeExr(const std::string& path, const std::byte* data, std::size_t size,
                 FrameSpec& spec, std::string& why);
// The same, read from the open `file`.
bool DescribeExr(const std::string& path, const InputFile& file, FrameSpec& spec,
                 std::string& why);

}  // namespace lumatrice
