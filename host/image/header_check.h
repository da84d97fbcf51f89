// A frame file's header checked against the file's size before any decoder
// reads it: an EXR attribute or DPX element that claims more bytes than the
// file holds, or a TIFF strip of billions of rows, would have the decoder
// allocate for them, or stop without saying why. Files of other formats pass
// unchecked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace lumatrice {

// The most bytes the attributes of an EXR file's headers (names, types and
// values; every part counted) may take. The image library holds each one
// several times over while it reads the header.
inline constexpr std::uint64_t kMaxExrHeaderBytes = 4u << 20;

// Reads up to `n` bytes at `offset` into `out`; returns how many it read.
using ReadAt = std::function<std::size_t(std::uint64_t offset, void* out, std::size_t n)>;

// Whether the EXR file of `file_size` bytes read through `read` has a header
// whose attribute list ends inside the file, within kMaxExrHeaderBytes, with
// no attribute running past the file's end. False with `why`; true for what
// is no EXR.
bool CheckExrHeader(const ReadAt& read, std::uint64_t file_size, std::string& why);

// Whether the first directory of the TIFF of `file_size` bytes read through
// `read` has a RowsPerStrip the image library can size a buffer by: at most
// the image's height or 65535 rows, or 2^32-1 (one strip); tile sides
// likewise at most the image's or 65535; not min-is-white with more than one
// sample, nor CMYK of fewer than 8 bits; and every strip or tile its picture
// needs named and inside the file. False with `why`; true for what is no TIFF.
bool CheckTiffHeader(const ReadAt& read, std::uint64_t file_size, std::string& why);

// The checks (EXR, DPX, TIFF) on `file_size` bytes read through `read`, by the
// file's magic number, whatever its name.
bool CheckHeader(const ReadAt& read, std::uint64_t file_size, std::string& why);

// CheckHeader on a whole file held in memory.
bool CheckHeaderBytes(const std::byte* data, std::size_t size, std::string& why);

// CheckHeader on the file at `path`. False with `why` also when it cannot be
// opened.
bool CheckFileHeader(const std::string& path, std::string& why);

}  // namespace lumatrice
