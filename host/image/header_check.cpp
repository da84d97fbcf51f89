// Header sizes checked before decoding: the EXR attribute walk, the TIFF
// directory (strip and tile sides, layouts, where its strips lie), and the
// dispatch to the DPX element check.
#include "header_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
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
// Strip or tile offsets read at a time.
constexpr std::uint64_t kTiffChunkBatch = 4096;

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

// An IFD entry's values of type SHORT, LONG or LONG8: held in the entry
// when they fit there, else at the offset it holds.
struct TiffArray {
  std::uint64_t type = 0, count = 0;
  unsigned char value[8] = {};
  bool present() const { return count > 0 && (type == 3 || type == 4 || type == 16); }
  int size() const { return type == 3 ? 2 : type == 4 ? 4 : 8; }
};

// What the first directory says, as far as the checks look.
struct TiffDirectory {
  bool big = false, wide = false;
  std::uint64_t width = 0, length = 0, rows = kTiffOneStrip, tile_width = 0, tile_length = 0;
  std::uint64_t photometric = kTiffRgb, samples = 1, planar = 1;
  TiffArray bits, strip_offsets, strip_bytes, tile_offsets, tile_bytes;
};

// Values [first, first + n) of `a` into `out`; false when the file ends first.
bool ReadValues(const ReadAt& read, const TiffDirectory& d, const TiffArray& a,
                std::uint64_t first, std::size_t n, std::vector<std::uint64_t>& out) {
  const int size = a.size();
  const std::uint64_t inline_bytes = d.wide ? 8 : 4;
  std::vector<unsigned char> raw(n * std::size_t(size));
  if (a.count <= inline_bytes / std::uint64_t(size))
    std::memcpy(raw.data(), a.value + first * std::uint64_t(size), raw.size());
  else if (read(Field(a.value, int(inline_bytes), d.big) + first * std::uint64_t(size), raw.data(),
                raw.size()) != raw.size())
    return false;
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = Field(raw.data() + i * std::size_t(size), size, d.big);
  return true;
}

// False when `read` holds no TIFF.
bool ReadTiffDirectory(const ReadAt& read, TiffDirectory& d) {
  unsigned char h[16];
  if (read(0, h, sizeof h) < 8) return false;
  d.big = h[0] == 'M' && h[1] == 'M';
  if (!d.big && !(h[0] == 'I' && h[1] == 'I')) return false;
  const std::uint64_t version = Field(h + 2, 2, d.big);
  if (version != 42 && version != 43) return false;
  d.wide = version == 43;  // BigTIFF
  const int entry = d.wide ? 20 : 12, count_bytes = d.wide ? 8 : 2, value_at = d.wide ? 12 : 8;
  const std::uint64_t ifd = d.wide ? Field(h + 8, 8, d.big) : Field(h + 4, 4, d.big);
  unsigned char count[8];
  if (read(ifd, count, std::size_t(count_bytes)) != std::size_t(count_bytes)) return false;
  const std::uint64_t n = std::min<std::uint64_t>(Field(count, count_bytes, d.big), kMaxTiffEntries);
  for (std::uint64_t i = 0; i < n; ++i) {
    unsigned char e[20];
    if (read(ifd + std::uint64_t(count_bytes) + i * std::uint64_t(entry), e, std::size_t(entry)) !=
        std::size_t(entry))
      break;
    const std::uint64_t tag = Field(e, 2, d.big);
    TiffArray a;
    a.type = Field(e + 2, 2, d.big);
    a.count = Field(e + 4, d.wide ? 8 : 4, d.big);
    std::memcpy(a.value, e + value_at, d.wide ? 8 : 4);
    TiffArray* array = tag == 258   ? &d.bits
                       : tag == 273 ? &d.strip_offsets
                       : tag == 279 ? &d.strip_bytes
                       : tag == 324 ? &d.tile_offsets
                       : tag == 325 ? &d.tile_bytes
                                    : nullptr;
    if (array) *array = a;
    if (!a.present() || a.count != 1) continue;
    const std::uint64_t v = Field(a.value, a.size(), d.big);
    if (tag == 256) d.width = v;
    if (tag == 257) d.length = v;
    if (tag == 262) d.photometric = v;
    if (tag == 277) d.samples = v;
    if (tag == 278) d.rows = v;
    if (tag == 284) d.planar = v;
    if (tag == 322) d.tile_width = v;
    if (tag == 323) d.tile_length = v;
  }
  return true;
}

// Strip and tile sides a decoder sizes a buffer by.
bool CheckTiffSides(const TiffDirectory& d, std::string& why) {
  if (d.tile_width > d.width && d.tile_width > kTiffMaxRows)
    return why = "the TIFF's TileWidth (" + std::to_string(d.tile_width) + ") is over its " +
                 std::to_string(d.width) + " columns and over " + std::to_string(kTiffMaxRows),
           false;
  if (d.tile_length > d.length && d.tile_length > kTiffMaxRows)
    return why = "the TIFF's TileLength (" + std::to_string(d.tile_length) + ") is over its " +
                 std::to_string(d.length) + " rows and over " + std::to_string(kTiffMaxRows),
           false;
  // OpenImageIO sizes a strip buffer by RowsPerStrip; past the image's
  // height and the frame-size limit that buffer can be terabytes.
  if (d.rows != kTiffOneStrip && d.rows > d.length && d.rows > kTiffMaxRows)
    return why = "the TIFF's RowsPerStrip (" + std::to_string(d.rows) + ") is over its " +
                 std::to_string(d.length) + " rows and over " + std::to_string(kTiffMaxRows) +
                 " (only 4294967295, one strip, may be)", false;
  return true;
}

// Layouts the image library decodes past the end of the caller's buffer
// (OpenImageIO 2.4): a hostile file could write over the process's memory.
bool CheckTiffLayout(const ReadAt& read, const TiffDirectory& d, std::string& why) {
  // Min-is-white Deflate strips are inverted past the frame's end.
  if (d.photometric == kTiffMinIsWhite && d.samples > 1)
    return why = "the TIFF is min-is-white with " + std::to_string(d.samples) +
                 " samples a pixel; only a single-sample min-is-white TIFF can be read",
           false;
  // The conversion to RGB writes a row past the frame's end. The decoder
  // takes the first of the per-sample values.
  std::vector<std::uint64_t> bits{8};
  if (d.bits.present()) ReadValues(read, d, d.bits, 0, 1, bits);
  if (d.photometric == kTiffSeparated && bits[0] < 8)
    return why = "the TIFF is CMYK of " + std::to_string(bits[0]) +
                 " bits a sample; a CMYK TIFF must have 8 or more",
           false;
  return true;
}

// Every strip or tile the picture needs is named and lies inside the file: a
// missing or cut one is decoded by the image library from memory it never
// filled, and the frame would carry that memory into its output.
bool CheckTiffChunks(const ReadAt& read, const TiffDirectory& d, std::uint64_t file_size,
                     std::string& why) {
  const bool tiled = d.tile_offsets.present();
  const TiffArray& offsets = tiled ? d.tile_offsets : d.strip_offsets;
  const TiffArray& bytes = tiled ? d.tile_bytes : d.strip_bytes;
  const std::uint64_t w = tiled ? d.tile_width : d.width;
  const std::uint64_t h = tiled ? d.tile_length : std::min(d.rows, d.length);
  if (!offsets.present() || w == 0 || h == 0 || d.width == 0 || d.length == 0) return true;
  const std::uint64_t planes = d.planar == 2 ? d.samples : 1;
  const auto across = [](std::uint64_t n, std::uint64_t side) {
    return (long double)(n / side + (n % side != 0));
  };
  const long double want = across(d.width, w) * across(d.length, h) * (long double)planes;
  const char* what = tiled ? "tile" : "strip";
  if ((long double)offsets.count < want) {
    const long double most = (long double)std::numeric_limits<std::uint64_t>::max();
    return why = "the TIFF names " + std::to_string(offsets.count) + " " + what +
                 "s; its picture needs " + std::to_string(std::uint64_t(std::min(want, most))),
           false;
  }
  if (!bytes.present()) return true;  // the decoder estimates them
  const std::uint64_t n = std::min({offsets.count, bytes.count, std::uint64_t(want)});
  std::vector<std::uint64_t> at, size;
  for (std::uint64_t first = 0; first < n; first += kTiffChunkBatch) {
    const std::size_t batch = std::size_t(std::min(kTiffChunkBatch, n - first));
    if (!ReadValues(read, d, offsets, first, batch, at) ||
        !ReadValues(read, d, bytes, first, batch, size))
      return why = std::string("the TIFF's ") + what + " offsets and sizes run past the file's end", false;
    for (std::size_t i = 0; i < batch; ++i)
      if (size[i] > file_size || at[i] > file_size - size[i])
        return why = std::string("the TIFF's ") + what + " " + std::to_string(first + i) + " (" +
                     std::to_string(size[i]) + " bytes at byte " + std::to_string(at[i]) +
                     ") runs past the file's end at byte " + std::to_string(file_size), false;
  }
  return true;
}

}  // namespace

bool CheckTiffHeader(const ReadAt& read, std::uint64_t file_size, std::string& why) {
  TiffDirectory d;
  return !ReadTiffDirectory(read, d) || (CheckTiffSides(d, why) && CheckTiffLayout(read, d, why) &&
                                         CheckTiffChunks(read, d, file_size, why));
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
         CheckTiffHeader(read, file_size, why);
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
