// Header sizes checked before decoding: the EXR attribute walk, the TIFF
// strip height and tile sides, and the dispatch to the DPX element check.
#include "header_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "dpx_blocks.h"

namespace lumatrice {
namespace {

constexpr unsigned char kExrMagic[4] = {0x76, 0x2f, 0x31, 0x01};
constexpr std::uint32_t kMultiPart = 0x1000;
// Names and type names are at most 255 characters (31 without the long-name
// flag, which the image library checks itself).
constexpr std::size_t kMaxName = 256;
// IFD entries looked at; the fields checked come early, in tag order.
constexpr std::uint64_t kMaxTiffEntries = 4096;
constexpr std::uint64_t kTiffOneStrip = 0xFFFFFFFF, kTiffMaxRows = 65535;
constexpr std::uint64_t kTiffMinIsWhite = 0, kTiffRgb = 2, kTiffSeparated = 5;  // Photometric

// The NUL-terminated text at `at` (at most kMaxName bytes); false when the
// file ends or no NUL comes first.
bool ReadName(const ReadAt& read, std::uint64_t at, std::string& name) {
  char buf[kMaxName];
  const std::size_t n = read(at, buf, sizeof buf);
  const void* end = std::memchr(buf, 0, n);
  if (!end) return false;
  name.assign(buf, std::size_t(static_cast<const char*>(end) - buf));
  return true;
}

// A header field of `n` bytes (2, 4 or 8) in the file's byte order.
std::uint64_t Field(const unsigned char* p, int n, bool big) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= std::uint64_t(p[big ? n - 1 - i : i]) << (8 * i);
  return v;
}

// The first SHORT of an IFD entry's `count` values, held in `value` when
// they fit there, else at the offset it holds; 8 when the file ends first.
std::uint64_t FirstShort(const ReadAt& read, const unsigned char* value, std::uint64_t count,
                         bool wide, bool big) {
  const std::uint64_t inline_bytes = wide ? 8 : 4;
  if (count <= inline_bytes / 2) return Field(value, 2, big);
  unsigned char v[2];
  if (read(Field(value, int(inline_bytes), big), v, 2) != 2) return 8;
  return Field(v, 2, big);
}

}  // namespace

bool CheckTiffHeader(const ReadAt& read, std::string& why) {
  unsigned char h[16];
  if (read(0, h, sizeof h) < 8) return true;
  const bool big = h[0] == 'M' && h[1] == 'M';
  if (!big && !(h[0] == 'I' && h[1] == 'I')) return true;
  const std::uint64_t version = Field(h + 2, 2, big);
  if (version != 42 && version != 43) return true;
  const bool wide = version == 43;  // BigTIFF
  const int entry = wide ? 20 : 12, count_bytes = wide ? 8 : 2, value_at = wide ? 12 : 8;
  const std::uint64_t ifd = wide ? Field(h + 8, 8, big) : Field(h + 4, 4, big);
  unsigned char count[8];
  if (read(ifd, count, std::size_t(count_bytes)) != std::size_t(count_bytes)) return true;
  const std::uint64_t n = std::min<std::uint64_t>(Field(count, count_bytes, big), kMaxTiffEntries);
  std::uint64_t width = 0, length = 0, rows = kTiffOneStrip, tile_width = 0, tile_length = 0;
  std::uint64_t photometric = kTiffRgb, samples = 1, bits = 8;
  for (std::uint64_t i = 0; i < n; ++i) {
    unsigned char e[20];
    if (read(ifd + std::uint64_t(count_bytes) + i * std::uint64_t(entry), e, std::size_t(entry)) !=
        std::size_t(entry))
      break;
    const std::uint64_t tag = Field(e, 2, big), type = Field(e + 2, 2, big);
    const int size = type == 3 ? 2 : type == 4 ? 4 : type == 16 ? 8 : 0;  // SHORT, LONG, LONG8
    const std::uint64_t values = Field(e + 4, wide ? 8 : 4, big);
    if (tag == 258 && type == 3 && values > 0)  // one per sample; the decoder takes the first
      bits = FirstShort(read, e + value_at, values, wide, big);
    if (size == 0 || values != 1) continue;
    const std::uint64_t v = Field(e + value_at, size, big);
    if (tag == 256) width = v;
    if (tag == 257) length = v;
    if (tag == 262) photometric = v;
    if (tag == 277) samples = v;
    if (tag == 278) rows = v;
    if (tag == 322) tile_width = v;
    if (tag == 323) tile_length = v;
  }
  // Tiles the same: a decoder sizes a buffer by one.
  if (tile_width > width && tile_width > kTiffMaxRows)
    return why = "the TIFF's TileWidth (" + std::to_string(tile_width) + ") is over its " +
                 std::to_string(width) + " columns and over " + std::to_string(kTiffMaxRows),
           false;
  if (tile_length > length && tile_length > kTiffMaxRows)
    return why = "the TIFF's TileLength (" + std::to_string(tile_length) + ") is over its " +
                 std::to_string(length) + " rows and over " + std::to_string(kTiffMaxRows),
           false;
  // OpenImageIO sizes a strip buffer by RowsPerStrip; past the image's
  // height and the frame-size limit that buffer can be terabytes.
  if (rows != kTiffOneStrip && rows > length && rows > kTiffMaxRows)
    return why = "the TIFF's RowsPerStrip (" + std::to_string(rows) + ") is over its " +
                 std::to_string(length) + " rows and over " + std::to_string(kTiffMaxRows) +
                 " (only 4294967295, one strip, may be)", false;
  // The image library inverts such a frame's strips past the end of the
  // caller's buffer (OpenImageIO 2.4, Deflate strips): a hostile file could
  // write over the process's memory.
  if (photometric == kTiffMinIsWhite && samples > 1)
    return why = "the TIFF is min-is-white with " + std::to_string(samples) +
                 " samples a pixel; only a single-sample min-is-white TIFF can be read",
           false;
  // Its conversion to RGB writes a row past the end of the frame's memory.
  if (photometric == kTiffSeparated && bits < 8)
    return why = "the TIFF is CMYK of " + std::to_string(bits) +
                 " bits a sample; a CMYK TIFF must have 8 or more",
           false;
  return true;
}

bool CheckExrHeader(const ReadAt& read, std::uint64_t file_size, std::string& why) {
  unsigned char start[8];
  if (read(0, start, 8) != 8 || std::memcmp(start, kExrMagic, 4) != 0) return true;
  const bool multi_part = start[5] & (kMultiPart >> 8);
  const std::string ends = "; the file ends at byte " + std::to_string(file_size);
  auto damaged = [&](std::uint64_t at) {
    why = "the EXR header is damaged at byte " + std::to_string(at) + ends;
    return false;
  };
  // A header is a list of attributes ended by an empty name; the headers of
  // several parts are a list of those ended by one more.
  std::uint64_t at = 8;
  bool header_start = true;
  for (;;) {
    std::string name, type;
    if (!ReadName(read, at, name)) return damaged(at);
    at += name.size() + 1;
    if (name.empty()) {
      if (!multi_part || header_start) return true;
      header_start = true;
      continue;
    }
    header_start = false;
    if (!ReadName(read, at, type)) return damaged(at);
    at += type.size() + 1;
    unsigned char b[4];
    if (read(at, b, 4) != 4) return damaged(at);
    at += 4;
    const auto size = std::int32_t(std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                                   std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24);
    const std::string what = "EXR attribute \"" + name + "\" (" + type + ") ";
    if (size < 0 || std::uint64_t(size) > file_size - at)
      return why = what + "claims " + std::to_string(size) + " bytes from byte " +
                   std::to_string(at) + ends, false;
    at += std::uint64_t(size);
    if (at - 8 > kMaxExrHeaderBytes)
      return why = "the EXR header is over its limit of " + std::to_string(kMaxExrHeaderBytes) +
                   " bytes at attribute \"" + name + "\" (" + type + ", " + std::to_string(size) +
                   " bytes)", false;
  }
}

bool CheckHeader(const ReadAt& read, std::uint64_t file_size, std::string& why) {
  std::byte head[kDpxHeaderBytes];
  const std::size_t n = read(0, head, sizeof head);
  return CheckExrHeader(read, file_size, why) && CheckDpxHeader(head, n, file_size, why) &&
         CheckTiffHeader(read, why);
}

bool CheckHeaderBytes(const std::byte* data, std::size_t size, std::string& why) {
  const ReadAt read = [data, size](std::uint64_t offset, void* out, std::size_t n) {
    if (offset >= size) return std::size_t(0);
    n = std::min<std::uint64_t>(n, size - offset);
    std::memcpy(out, data + offset, n);
    return n;
  };
  return CheckHeader(read, size, why);
}

bool CheckFileHeader(const std::string& path, std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    why = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  const ReadAt read = [fd](std::uint64_t offset, void* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::pread(fd, static_cast<char*>(out) + got, n - got, off_t(offset + got));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += std::size_t(r);
    }
    return got;
  };
  const bool ok = CheckHeader(read, std::uint64_t(st.st_size), why);
  ::close(fd);
  return ok;
}

}  // namespace lumatrice
