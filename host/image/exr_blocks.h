// OpenEXR files as blocks (scanline chunks or single-level tiles), through
// OpenEXR's core library: chunks decoded on demand, unchanged chunks written
// back as their stored bytes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "block_file.h"

namespace lumatrice {

class FrameBuffer;
class InputFile;

// Records in `spec` the line order of the EXR file (its `bytes` when not
// null, else the file at `path`) as "openexr:lineOrder" when it is not
// increasing, so that a whole-frame write keeps it.
void NoteExrLayout(const std::string& path, const std::vector<std::byte>* bytes,
                   OIIO::ImageSpec& spec);

// A block view of the EXR file whose bytes are `bytes` (which must outlive
// the result), read into `frame` (already Reset with the file's image
// description). Null when the file's layout is one only the whole-frame path
// handles (several parts, deep data, mipmaps, subsampled or mixed-type
// channels, a line order other than increasing), or it is damaged; `why`
// says which.
std::unique_ptr<BlockFile> OpenExrBlocks(const std::string& path,
                                         const std::vector<std::byte>& bytes,
                                         const FrameBuffer& frame, std::string& why);
// The same over the open `input`, which the view (and any copy of it) holds:
// its chunks are read as decoded, and copied by the kernel when written.
std::unique_ptr<BlockFile> OpenExrBlocks(const std::string& path,
                                         std::shared_ptr<const InputFile> input,
                                         const FrameBuffer& frame, std::string& why);

}  // namespace lumatrice
