// TIFF files as blocks (strips or tiles), through libtiff: blocks decoded on
// demand, unchanged blocks written back as their stored bytes.
//
// Spliced: one image, strips or tiles, chunky (interleaved) samples, RGB or
// grey with any extra samples, 8- or 16-bit unsigned or 32-bit float, stored
// uncompressed, LZW, Deflate (either code) or PackBits, with any predictor.
// Every tag of the input is kept, the EXIF and GPS directories tag by tag. A
// file whose EXIF directory points at a further one, a palette, YCbCr,
// separate planes, JPEG or any other compression, another bit depth, or the
// floating-point predictor in the other byte order where libtiff does not
// encode it back as it decodes it, takes the whole-frame path.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "block_file.h"

namespace lumatrice {

class FrameBuffer;

// Checks a TIFF input before it is read as a frame (from `bytes` when not
// null, else from `path`), and records in `spec` the layout a whole-frame
// write keeps: "tiff:Predictor" and, for BigTIFF, "tiff:bigtiff". False
// with `why` for a file holding sub-images (SubIFD), which no write keeps.
bool InspectTiff(const std::string& path, const std::vector<std::byte>* bytes,
                 OIIO::ImageSpec& spec, std::string& why);

// A block view of the TIFF file whose bytes are `bytes` (which must outlive
// the result), read into `frame` (already Reset with the file's image
// description). Null when the layout is not one of the above, or the file is
// damaged; `why` says which.
std::unique_ptr<BlockFile> OpenTiffBlocks(const std::string& path,
                                          const std::vector<std::byte>& bytes,
                                          const FrameBuffer& frame, std::string& why);

}  // namespace lumatrice
