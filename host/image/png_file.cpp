// PNG frames as bands of rows: libpng decodes on demand, a write splices
// the input's deflate blocks around the rows coded again (zlib).
#include "png_file.h"

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <mutex>

#include <png.h>
#include <zlib.h>

#include "out_file.h"
#include "frame_buffer.h"

namespace lumatrice {
namespace {

constexpr int kBandRows = 16;
constexpr std::size_t kIdatChunk = 1 << 18;
const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::uint32_t Be32(const unsigned char* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
void PutBe32(std::vector<unsigned char>& v, std::uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<unsigned char>(x >> s));
}

struct Chunk {
  std::size_t data;  // offset of the chunk's data
  std::uint32_t length;
  char type[5];
};

bool IsText(const Chunk& c) {
  return !std::strcmp(c.type, "tEXt") || !std::strcmp(c.type, "zTXt") ||
         !std::strcmp(c.type, "iTXt");
}

// The keyword a text chunk is stored under for an attribute, as the image
// library maps them.
std::string Keyword(const std::string& name) {
  if (name == "ImageDescription") return "Description";
  if (name == "Artist") return "Author";
  if (name == "DocumentName") return "Title";
  return name;
}

// Appends bits to a deflate stream (least significant bit first).
struct BitOut {
  std::vector<unsigned char> bytes;
  std::size_t bits = 0;
  void Put8(unsigned v) {
    const unsigned k = bits & 7;
    if (!k) {
      bytes.push_back(static_cast<unsigned char>(v));
    } else {
      bytes.back() = static_cast<unsigned char>(bytes.back() | (v << k));
      bytes.push_back(static_cast<unsigned char>(v >> (8 - k)));
    }
    bits += 8;
  }
  void PutBit(unsigned v) {
    if (!(bits & 7)) bytes.push_back(0);
    bytes.back() = static_cast<unsigned char>(bytes.back() | (v << (bits & 7)));
    ++bits;
  }
  // Bits [from, from + n) of `src`.
  void Copy(const unsigned char* src, std::size_t from, std::size_t n) {
    std::size_t i = 0;
    if (!(from & 7) && !(bits & 7)) {
      bytes.insert(bytes.end(), src + from / 8, src + from / 8 + n / 8);
      bits += n / 8 * 8;
      i = n / 8 * 8;
    }
    for (; i + 8 <= n; i += 8) {
      const std::size_t p = from + i, at = p >> 3, sh = p & 7;
      Put8((src[at] >> sh | (sh ? src[at + 1] << (8 - sh) : 0)) & 0xFF);
    }
    for (; i < n; ++i) PutBit((src[(from + i) >> 3] >> ((from + i) & 7)) & 1);
  }
};

// Filters one row of `bpp`-byte pixels with PNG filter `type` against the
// row above (null for the first).
void FilterRow(int type, const unsigned char* row, const unsigned char* up, std::size_t n,
               std::size_t bpp, unsigned char* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const int a = i >= bpp ? row[i - bpp] : 0, b = up ? up[i] : 0,
              c = up && i >= bpp ? up[i - bpp] : 0;
    int pred = 0;
    switch (type) {
      case 1: pred = a; break;
      case 2: pred = b; break;
      case 3: pred = (a + b) / 2; break;
      case 4: {
        const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        pred = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
        break;
      }
      default: break;
    }
    out[i] = static_cast<unsigned char>(row[i] - pred);
  }
}

class PngBlocks final : public BlockFile {
 public:
  explicit PngBlocks(const std::vector<std::byte>& bytes)
      : bytes_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()) {}
  ~PngBlocks() override { Close(); }

  bool Open(const FrameBuffer& frame, std::string& why);
  const char* format() const override { return "png"; }
  bool Decode(int b, FrameBuffer& frame, std::string& error) const override;
  Status Splice(const FrameBuffer& frame, const std::vector<char>& changed,
                const std::vector<HeaderChange>& header, OutFile& file,
                const std::atomic<bool>* cancel, SpliceCounts& counts) const override {
    std::string error;
    if (SpliceBytes(frame, changed, header, file, cancel, counts, error)) return Status::Ok();
    if (cancel && cancel->load()) return Status::Cancelled();
    return {StatusKind::kIo, error};
  }
  bool SpliceBytes(const FrameBuffer& frame, const std::vector<char>& changed,
                   const std::vector<HeaderChange>& header, OutFile& file,
                   const std::atomic<bool>* cancel, SpliceCounts& counts,
                   std::string& error) const;
  bool HeaderChanges(const FrameBuffer& frame,
                     std::vector<HeaderChange>& changes) const override;

 private:
  struct Block {
    std::size_t bit;  // where it starts in the deflate data
    std::size_t out;  // where its bytes start in the filtered rows
    bool stored;
  };
  void Close() const {
    if (png_) png_destroy_read_struct(&png_, &info_, nullptr);
    png_ = nullptr;
    info_ = nullptr;
  }
  bool DecodeRows(int y1, FrameBuffer& frame, std::string& error) const;
  // The input's filtered rows and its deflate blocks (the last entry ends
  // the data).
  bool Inflate(const std::vector<unsigned char>& idat, std::vector<unsigned char>& raw,
               std::vector<Block>& blocks, std::string& error) const;
  bool Deflate(const std::vector<unsigned char>& raw, std::size_t from, std::size_t to, bool last,
               BitOut& out, std::string& error) const;
  bool WriteChunks(const std::vector<unsigned char>& stream,
                   const std::vector<HeaderChange>& header, OutFile& file,
                   std::string& error) const;

  const unsigned char* bytes_;
  std::size_t size_;
  std::vector<Chunk> chunks_;
  std::size_t row_bytes_ = 0, bpp_ = 0;
  int depth_ = 8, window_ = 15, level_ = 6;
  mutable std::mutex mutex_;
  mutable png_structp png_ = nullptr;
  mutable png_infop info_ = nullptr;
  mutable std::size_t read_at_ = 0;
  mutable int next_row_ = 0;
};

bool PngBlocks::Open(const FrameBuffer& frame, std::string& why) {
  TakeSource(frame);
  if (size_ < 8 + 25 || std::memcmp(bytes_, kSignature, 8) != 0) return why = "no PNG", false;
  std::size_t idat = 0;
  for (std::size_t at = 8; at + 12 <= size_;) {
    Chunk c{at + 8, Be32(bytes_ + at), {}};
    std::memcpy(c.type, bytes_ + at + 4, 4);
    c.type[4] = 0;
    if (c.length > size_ - at - 12) return why = "chunk past the end", false;
    if (!std::strcmp(c.type, "IDAT") && !idat++ && c.length >= 2) {
      const unsigned char cmf = bytes_[c.data], flg = bytes_[c.data + 1];
      window_ = (cmf >> 4) + 8;
      static const int kLevels[4] = {1, 4, 6, 9};  // zlib's FLEVEL classes
      level_ = kLevels[flg >> 6];
      if ((cmf & 15) != 8 || window_ > 15 || (flg & 0x20)) return why = "zlib header", false;
    }
    chunks_.push_back(c);
    at += 12 + c.length;
    if (!std::strcmp(c.type, "IEND")) break;
  }
  if (chunks_.empty() || std::strcmp(chunks_[0].type, "IHDR") || chunks_[0].length != 13 || !idat)
    return why = "no header or no image data", false;
  const unsigned char* h = bytes_ + chunks_[0].data;
  depth_ = h[8];
  const int colour = h[9], interlace = h[12];
  const int channels = colour == 0 ? 1 : colour == 4 ? 2 : colour == 2 ? 3 : colour == 6 ? 4 : 0;
  if (!channels || (depth_ != 8 && depth_ != 16) || interlace)
    return why = "palette, low bit depth or interlaced", false;
  const OIIO::TypeDesc type = depth_ == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
  if (int(Be32(h)) != frame.width() || int(Be32(h + 4)) != frame.height() ||
      frame.channels() != channels || frame.type() != type)
    return why = "the frame's layout differs from the file's", false;
  bpp_ = std::size_t(channels * depth_ / 8);
  row_bytes_ = bpp_ * std::size_t(frame.width());
  block_w = frame.width();
  block_h = kBandRows;
  blocks_x = 1;
  blocks_y = (frame.height() + kBandRows - 1) / kBandRows;
  return true;
}

bool PngBlocks::DecodeRows(int y1, FrameBuffer& frame, std::string& error) const {
  if (setjmp(png_jmpbuf(png_))) {
    Close();
    error = "rows from " + std::to_string(next_row_) + " cannot be decoded";
    return false;
  }
  for (; next_row_ < y1; ++next_row_)
    png_read_row(png_, reinterpret_cast<png_bytep>(frame.row(next_row_)), nullptr);
  return true;
}

bool PngBlocks::Decode(int b, FrameBuffer& frame, std::string& error) const {
  std::lock_guard lock(mutex_);
  // Rows decoded past a band already asked for are in place, unseen.
  const int y1 = std::min(frame.height(), (b + 1) * kBandRows);
  if (y1 <= next_row_) return true;
  if (!png_) {
    if (next_row_ > 0) return error = "the decoder stopped", false;
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr,
                                  [](png_structp p, png_const_charp) { png_longjmp(p, 1); },
                                  [](png_structp, png_const_charp) {});
    info_ = png_ ? png_create_info_struct(png_) : nullptr;
    if (!info_) return Close(), error = "no memory for the decoder", false;
    read_at_ = 0;
    png_set_read_fn(png_, const_cast<PngBlocks*>(this), [](png_structp p, png_bytep to,
                                                            std::size_t n) {
      auto* self = static_cast<const PngBlocks*>(png_get_io_ptr(p));
      if (n > self->size_ - self->read_at_) png_error(p, "truncated");
      std::memcpy(to, self->bytes_ + self->read_at_, n);
      self->read_at_ += n;
    });
    if (setjmp(png_jmpbuf(png_))) {
      Close();
      return error = "the header cannot be decoded", false;
    }
    png_read_info(png_, info_);
    const std::uint16_t one = 1;
    if (depth_ == 16 && *reinterpret_cast<const unsigned char*>(&one) == 1) png_set_swap(png_);
    png_read_update_info(png_, info_);
  }
  return DecodeRows(y1, frame, error);
}

bool PngBlocks::HeaderChanges(const FrameBuffer& frame,
                              std::vector<HeaderChange>& changes) const {
  if (!ChangedTexts(*this, frame, changes)) return false;
  for (const HeaderChange& c : changes) {
    const std::string k = Keyword(c.name);
    // Attributes the library keeps in chunks of their own, not as text.
    if (k.empty() || k.size() > 79 || k.rfind("oiio:", 0) == 0 || k.rfind("png:", 0) == 0 ||
        k.rfind("ICC", 0) == 0 || k.front() == ' ' || k.back() == ' ')
      return false;
  }
  return true;
}

bool PngBlocks::Inflate(const std::vector<unsigned char>& idat, std::vector<unsigned char>& raw,
                        std::vector<Block>& blocks, std::string& error) const {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return error = "no memory for inflate", false;
  z.next_in = const_cast<unsigned char*>(idat.data());
  z.avail_in = uInt(idat.size());
  z.next_out = raw.data();
  z.avail_out = uInt(raw.size());
  int r = Z_OK;
  while (r == Z_OK) {
    r = inflate(&z, Z_BLOCK);
    if (r == Z_OK && (z.data_type & 128) && !(z.data_type & 64)) {
      const std::size_t bit = std::size_t(z.total_in) * 8 - std::size_t(z.data_type & 31) - 16;
      const std::size_t at = (bit + 16) / 8;
      // BTYPE 00: a stored block, padded to a byte, which cannot move.
      const unsigned two = at + 1 < idat.size() ? idat[at] | idat[at + 1] << 8 : 0;
      const bool stored = ((two >> ((bit + 16) % 8 + 1)) & 3) == 0;
      if (blocks.empty() || blocks.back().bit != bit) blocks.push_back({bit, z.total_out, stored});
    }
  }
  const bool ok = r == Z_STREAM_END && z.total_out == raw.size() && z.total_in >= 6;
  if (ok) blocks.push_back({(std::size_t(z.total_in) - 6) * 8, raw.size(), false});
  inflateEnd(&z);
  if (!ok) error = "the image data cannot be inflated";
  return ok;
}

bool PngBlocks::Deflate(const std::vector<unsigned char>& raw, std::size_t from, std::size_t to,
                        bool last, BitOut& out, std::string& error) const {
  z_stream z{};
  if (deflateInit2(&z, level_, Z_DEFLATED, -window_, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return error = "no memory for deflate", false;
  const std::size_t dict = std::min(from, std::size_t(1) << window_);
  if (dict) deflateSetDictionary(&z, raw.data() + from - dict, uInt(dict));
  const unsigned k = out.bits & 7;
  // The stream goes on from a block that ends inside a byte.
  if (k) deflatePrime(&z, int(k), out.bytes.back() & ((1 << k) - 1));
  std::vector<unsigned char> buf(deflateBound(&z, uLong(to - from)) + 16);
  z.next_in = const_cast<unsigned char*>(raw.data() + from);
  z.avail_in = uInt(to - from);
  z.next_out = buf.data();
  z.avail_out = uInt(buf.size());
  const int r = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
  const std::size_t n = buf.size() - z.avail_out;
  deflateEnd(&z);
  if ((last ? r != Z_STREAM_END : r != Z_OK) || z.avail_in) return error = "deflate failed", false;
  if (k) out.bytes.pop_back();
  out.bytes.insert(out.bytes.end(), buf.begin(), buf.begin() + std::ptrdiff_t(n));
  out.bits = out.bytes.size() * 8;
  return true;
}

bool PngBlocks::SpliceBytes(const FrameBuffer& frame, const std::vector<char>& changed,
                            const std::vector<HeaderChange>& header, OutFile& file,
                            const std::atomic<bool>* cancel, SpliceCounts& counts,
                            std::string& error) const {
  std::vector<unsigned char> idat;
  for (const Chunk& c : chunks_)
    if (!std::strcmp(c.type, "IDAT")) idat.insert(idat.end(), bytes_ + c.data, bytes_ + c.data + c.length);
  const int height = frame.height();
  const std::size_t stride = row_bytes_ + 1;
  std::vector<unsigned char> raw(stride * std::size_t(height));
  std::vector<Block> blocks;
  if (!Inflate(idat, raw, blocks, error)) return false;
  // Rows coded again: the changed ones and the row below each (its filter
  // looks up), filtered from the frame with the input's filter type.
  std::vector<char> dirty(std::size_t(height) + 1, 0);
  for (int y = 0; y < height; ++y)
    if (changed[std::size_t(y / kBandRows)]) dirty[std::size_t(y)] = dirty[std::size_t(y) + 1] = 1;
  counts = SpliceCounts{};
  for (std::size_t b = 0; b < changed.size(); ++b) (changed[b] ? counts.encoded : counts.copied)++;
  for (int y = 0; y < height; ++y) {
    if (!dirty[std::size_t(y)]) continue;
    frame.Need(y, 0, frame.width());
    if (y > 0) frame.Need(y - 1, 0, frame.width());
    const unsigned char* row = reinterpret_cast<const unsigned char*>(frame.row(y));
    const unsigned char* up = y ? reinterpret_cast<const unsigned char*>(frame.row(y - 1)) : nullptr;
    unsigned char* out = &raw[stride * std::size_t(y)];
    // The frame holds 16-bit samples in the machine's order, the file big-endian.
    std::vector<unsigned char> be, be_up;
    if (depth_ == 16) {
      be.resize(row_bytes_);
      for (std::size_t i = 0; i < row_bytes_; i += 2) be[i] = row[i + 1], be[i + 1] = row[i];
      if (up) {
        be_up.resize(row_bytes_);
        for (std::size_t i = 0; i < row_bytes_; i += 2) be_up[i] = up[i + 1], be_up[i + 1] = up[i];
      }
      row = be.data();
      up = up ? be_up.data() : nullptr;
    }
    FilterRow(out[0], row, up, row_bytes_, bpp_, out + 1);
  }
  if (!frame.BlockError().empty()) return error = frame.BlockError(), false;
  // A block is copied when neither it nor the window it may look back into
  // holds a row coded again.
  const std::size_t window = std::size_t(1) << window_;
  // The final block is coded again too: where its last bit falls within
  // its byte is not known, so it could not be moved.
  auto copyable = [&](std::size_t i) {
    if (blocks[i].stored || i + 2 == blocks.size()) return false;
    const std::size_t from = blocks[i].out > window ? blocks[i].out - window : 0;
    const std::size_t to = blocks[i + 1].out;
    for (std::size_t y = from / stride; y < std::size_t(height) && y * stride < to; ++y)
      if (dirty[y]) return false;
    return true;
  };
  BitOut stream;
  stream.Copy(idat.data(), 0, 16);  // the zlib header as it was
  const std::size_t n = blocks.size() - 1;
  for (std::size_t i = 0; i < n;) {
    if (cancel && cancel->load()) return error = "cancelled", false;
    const bool copy = copyable(i);
    std::size_t j = i + 1;
    while (j < n && copyable(j) == copy) ++j;
    if (copy)
      stream.Copy(idat.data(), blocks[i].bit + 16, blocks[j].bit - blocks[i].bit);
    else if (!Deflate(raw, blocks[i].out, blocks[j].out, j == n, stream, error))
      return false;
    i = j;
  }
  PutBe32(stream.bytes, std::uint32_t(adler32(adler32(0, nullptr, 0), raw.data(), uInt(raw.size()))));
  return WriteChunks(stream.bytes, header, file, error);
}

bool PngBlocks::WriteChunks(const std::vector<unsigned char>& stream,
                            const std::vector<HeaderChange>& header, OutFile& file,
                            std::string& error) const {
  std::vector<unsigned char> out(kSignature, kSignature + 8);
  auto put = [&](const char* type, const unsigned char* data, std::size_t n) {
    PutBe32(out, std::uint32_t(n));
    const std::size_t crc_at = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + n);
    PutBe32(out, std::uint32_t(crc32(0, out.data() + crc_at, uInt(n + 4))));
  };
  std::vector<char> done(header.size(), 0);
  auto put_text = [&](std::size_t i) {
    const std::string k = Keyword(header[i].name),& v = header[i].value;
    const bool ascii = std::all_of(v.begin(), v.end(), [](char c) {
      return c != 0 && static_cast<unsigned char>(c) < 0x80;
    });
    std::string data = k + '\0';
    data += ascii ? v : std::string("\0\0\0\0", 4) + v;  // iTXt: uncompressed, no language
    put(ascii ? "tEXt" : "iTXt", reinterpret_cast<const unsigned char*>(data.data()), data.size());
    done[i] = 1;
  };
  bool idat_written = false;
  for (const Chunk& c : chunks_) {
    const unsigned char* d = bytes_ + c.data;
    if (!std::strcmp(c.type, "IDAT")) {
      if (idat_written) continue;
      for (std::size_t i = 0; i < header.size(); ++i)
        if (!done[i]) put_text(i);
      for (std::size_t at = 0; at < stream.size(); at += kIdatChunk)
        put("IDAT", stream.data() + at, std::min(kIdatChunk, stream.size() - at));
      idat_written = true;
      continue;
    }
    if (IsText(c)) {
      const std::string keyword(reinterpret_cast<const char*>(d),
                                strnlen(reinterpret_cast<const char*>(d), c.length));
      bool replaced = false;
      for (std::size_t i = 0; i < header.size() && !replaced; ++i) {
        if (Keyword(header[i].name) != keyword) continue;
        if (!done[i]) put_text(i);
        replaced = true;  // later chunks of the same keyword would win on read
      }
      if (replaced) continue;
    }
    put(c.type, d, c.length);
  }
  if (file.write(out.data(), out.size()) == out.size()) return true;
  error = file.Failure().empty() ? "write failed" : file.Failure();
  return false;
}

}  // namespace

std::unique_ptr<BlockFile> OpenPngBlocks(const std::vector<std::byte>& bytes,
                                         const FrameBuffer& frame, std::string& why) {
  auto blocks = std::make_unique<PngBlocks>(bytes);
  if (!blocks->Open(frame, why)) return nullptr;
  return blocks;
}

}  // namespace lumatrice
