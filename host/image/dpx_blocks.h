// Uncompressed DPX files as bands of rows: rows are decoded a band at a time
// as caption rows need them, and a write copies the input's bytes, encoding
// only the changed bands again through OpenImageIO's own DPX writer.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include "block_file.h"

namespace lumatrice {

class FrameBuffer;

// A band view of the DPX file whose bytes are `bytes` (which must outlive
// the result), read into `frame` (already Reset with the file's image
// description). On success it takes `in`, the reader open over `memory`, and
// `memory` itself. Null when only the whole-frame path can write the file
// again as it is (compressed, several elements, one row, or rows the writer
// would not encode to the input's own bytes); `why` says which.
std::unique_ptr<BlockFile> OpenDpxBlocks(std::unique_ptr<OIIO::ImageInput>& in,
                                         std::unique_ptr<OIIO::Filesystem::IOProxy>& memory,
                                         const std::vector<std::byte>& bytes,
                                         const FrameBuffer& frame, std::string& why);

}  // namespace lumatrice
