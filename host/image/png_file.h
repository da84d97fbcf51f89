// PNG files as bands of rows: pixels decoded through libpng as far as a row
// read needs them; a write keeps the input's compressed stream wherever the
// rows it codes (and the 32 KB window a deflate block may look back into)
// are unchanged, and codes only the changed rows again, each with its own
// filter type and the input's deflate level (from the zlib header), into the
// same zlib stream. Every chunk other than the image data is copied as read;
// a changed text replaces its keyword's chunk.
//
// Held as bands: 8- and 16-bit grey, grey with alpha, RGB and RGBA, not
// interlaced. Palette, 1/2/4-bit and interlaced files take the whole-frame
// path.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "block_file.h"

namespace lumatrice {

class FrameBuffer;

// A band view of the PNG file whose bytes are `bytes` (which must outlive
// the result), read into `frame` (already Reset with the file's image
// description). Null with `why` when the file is not one of the above or is
// damaged.
std::unique_ptr<BlockFile> OpenPngBlocks(const std::vector<std::byte>& bytes,
                                         const FrameBuffer& frame, std::string& why);

}  // namespace lumatrice
