// JPEG files as blocks (MCUs), through libjpeg's coefficient API: a block's
// pixels are decoded only when a row read needs them, and a write keeps the
// DCT coefficients of every block a row write left unchanged bit for bit;
// only the changed blocks are encoded again, with the file's own
// quantisation tables and sampling. Every APPn marker (EXIF, ICC, XMP) and
// comment is kept; the description goes into the first comment, which is
// where the image library reads it.
//
// Held as blocks: 8-bit baseline, progressive or arithmetic-coded files in
// grey, YCbCr or RGB. CMYK and YCCK files, 12-bit samples, and files whose
// description does not come from their first comment take the whole-frame
// path.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "block_file.h"

namespace lumatrice {

class FrameBuffer;

// A block view of the JPEG file whose bytes are `bytes` (which must outlive
// the result), read into `frame` (already Reset with the file's image
// description). Null with `why` when the file is not one of the above or is
// damaged.
std::unique_ptr<BlockFile> OpenJpegBlocks(const std::vector<std::byte>& bytes,
                                          const FrameBuffer& frame, std::string& why);

}  // namespace lumatrice
