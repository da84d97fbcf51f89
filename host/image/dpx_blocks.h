// Uncompressed DPX files as bands of rows: rows are decoded a band at a time
// as caption rows need them, and a write copies the input's bytes, encoding
// only the changed bands again through OpenImageIO's own DPX writer.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Bytes of the DPX headers the check below reads (file and image header).
inline constexpr std::size_t kDpxHeaderBytes = 1408;

// Whether the DPX file of `file_size` bytes whose first `n` bytes are
// `head` holds what its header describes: user data within the file, one
// to eight elements, each
// element's data starting inside the file and, when uncompressed, at least
// width x height x samples x bit depth long. False with `why`; true for
// bytes that are no DPX, which another reader judges.
bool CheckDpxHeader(const std::byte* head, std::size_t n, std::uint64_t file_size,
                    std::string& why);

// Whether OpenImageIO's DPX writer stores a frame of `spec` as it is; false
// with `why` when not. It takes 1, 3 or 4 channels (any other count stops
// the process) of unsigned 8- and 16-bit or floating-point samples: signed
// ones it clamps to unsigned, on 32-bit integers it fails.
bool DpxWritable(const OIIO::ImageSpec& spec, std::string& why);

}  // namespace lumatrice
