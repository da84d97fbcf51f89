// DPX rows in and out: decoding by OpenImageIO's reader over the file's bytes
// in memory, encoding of changed bands by its writer into memory.
#include "dpx_blocks.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "out_file.h"
#include "frame_buffer.h"
#include "oiio_proxies.h"

namespace lumatrice {
namespace {

using OIIO::TypeDesc;

// Offsets in the file header: the element count, then the first image
// element's descriptor to end-of-line padding, data offset and description.
constexpr std::size_t kUserDataSize = 32;
constexpr std::size_t kElementCount = 770, kWidth = 772, kHeight = 776;
constexpr std::size_t kElement = 780, kElementBytes = 72, kMaxElements = 8;
// Within each element: descriptor, bit depth, encoding, data offset.
constexpr std::size_t kAtDescriptor = 20, kAtBits = 23, kAtEncoding = 26, kAtOffset = 28,
                      kAtLinePadding = 32, kAtImagePadding = 36;
constexpr std::size_t kLayout = kElement + 20, kLayoutEnd = kElement + 28;  // .. encoding
constexpr std::size_t kEncoding = kElement + 26;
constexpr std::size_t kDataOffset = kElement + 28;
constexpr std::size_t kLinePadding = kElement + 32;
constexpr std::size_t kDescription = kElement + 40, kDescriptionSize = 32;
constexpr std::size_t kHeaderEnd = kDescription + kDescriptionSize;
constexpr int kBandRows = 8;

std::uint32_t Read32(const std::byte* p, bool big) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v |= std::uint32_t(std::to_integer<unsigned>(p[big ? i : 3 - i])) << (24 - 8 * i);
  return v;
}
std::uint16_t Read16(const std::byte* p, bool big) {
  const unsigned a = std::to_integer<unsigned>(p[0]), b = std::to_integer<unsigned>(p[1]);
  return std::uint16_t(big ? (a << 8) | b : (b << 8) | a);
}

// Samples per pixel of an element's descriptor; 0 for one not known here.
unsigned SamplesOf(unsigned descriptor) {
  if (descriptor >= 1 && descriptor <= 8) return 1;   // one component (R, G, B, A, luma, ...)
  if (descriptor >= 150 && descriptor <= 156) return descriptor - 148;  // user-defined 2..8
  switch (descriptor) {
    case 50: case 102: return 3;                     // RGB, CbYCr
    case 51: case 52: case 103: return 4;            // RGBA, ABGR, CbYCrA
    case 100: return 2;                              // CbYCrY (4:2:2)
    case 101: return 3;                              // CbYACrYA
    default: return 0;
  }
}

bool SameValue(const OIIO::ParamValue& a, const OIIO::ParamValue& b) {
  return a.type() == b.type() && a.nvalues() == b.nvalues() &&
         std::memcmp(a.data(), b.data(), a.datasize()) == 0;
}

class DpxBlocks final : public BlockFile {
 public:
  bool Open(const std::vector<std::byte>& bytes, const FrameBuffer& frame,
            OIIO::ImageInput& in, std::string& why);
  void Keep(std::unique_ptr<OIIO::ImageInput> in,
            std::unique_ptr<OIIO::Filesystem::IOProxy> memory) {
    in_ = std::move(in);
    memory_ = std::move(memory);
  }
  const char* format() const override { return "dpx"; }
  bool Decode(int b, FrameBuffer& frame, std::string& error) const override;
  Status Splice(const FrameBuffer& frame, const std::vector<char>& changed,
                const std::vector<HeaderChange>& header, OutFile& file,
                const std::atomic<bool>* cancel, SpliceCounts& counts) const override;
  bool HeaderChanges(const FrameBuffer& frame,
                     std::vector<HeaderChange>& changes) const override;

 private:
  // `n` rows of `frame`'s layout from `rows`, as the whole path's writer
  // stores them, in a file of their own in `out`; false with `why`.
  bool Encode(const FrameBuffer& frame, const std::byte* rows, int n,
              std::vector<unsigned char>& out, std::string& why) const;
  std::size_t RowAt(int y) const { return data_offset_ + std::size_t(y) * stride_; }

  const std::vector<std::byte>* bytes_ = nullptr;
  bool big_ = true;
  std::size_t data_offset_ = 0;
  std::size_t stride_ = 0;  // bytes of one stored row
  std::unique_ptr<OIIO::Filesystem::IOProxy> memory_;
  std::unique_ptr<OIIO::ImageInput> in_;
};

bool DpxBlocks::Encode(const FrameBuffer& frame, const std::byte* rows, int n,
                       std::vector<unsigned char>& out, std::string& why) const {
  // A fresh writer for every band: one reopened keeps the byte order of its
  // first file.
  const std::unique_ptr<OIIO::ImageOutput> writer = OIIO::ImageOutput::create("band.dpx");
  if (!writer) return why = "no DPX writer", false;
  OIIO::ImageSpec band = frame.spec();
  band.height = band.full_height = n;
  band.y = band.full_y = 0;
  band.attribute("oiio:Endian", big_ ? "big" : "little");
  // As the whole path tells the writer: straight alpha was read straight.
  if (frame.layout().alpha >= 0) band.attribute("oiio:UnassociatedAlpha", 1);
  out.clear();
  const std::unique_ptr<OIIO::Filesystem::IOProxy> vec = MakeVectorWriter(out);
  writer->set_ioproxy(vec.get());
  bool ok = writer->open("band.dpx", band) &&
            writer->write_image(frame.type(), rows);
  ok = writer->close() && ok;
  writer->set_ioproxy(nullptr);
  if (!ok) why = writer->geterror();
  return ok;
}

bool DpxBlocks::Open(const std::vector<std::byte>& bytes, const FrameBuffer& frame,
                     OIIO::ImageInput& in, std::string& why) {
  bytes_ = &bytes;
  TakeSource(frame);
  const OIIO::ImageSpec& spec = frame.spec();
  if (bytes.size() < kHeaderEnd) return why = "short header", false;
  big_ = std::memcmp(bytes.data(), "SDPX", 4) == 0;
  if (!big_ && std::memcmp(bytes.data(), "XPDS", 4) != 0) return why = "magic", false;
  if (Read16(&bytes[kElementCount], big_) != 1) return why = "several elements", false;
  if (Read16(&bytes[kEncoding], big_) != 0) return why = "compressed", false;
  if (spec.height < 2 || spec.tile_width != 0 || !spec.channelformats.empty() ||
      frame.type() != spec.format)
    return why = "layout", false;
  data_offset_ = Read32(&bytes[kDataOffset], big_);
  if (data_offset_ < kHeaderEnd || data_offset_ > bytes.size()) return why = "data offset", false;

  // The writer must store rows exactly as this file does: two of them,
  // encoded from what the reader made of them, must come out as the
  // file's bytes, under the same element layout.
  std::vector<std::byte> two(frame.row_bytes() * 2);
  if (!in.read_native_scanlines(0, 0, spec.y, spec.y + 2, 0, two.data()))
    return why = in.geterror(), false;
  std::vector<unsigned char> one_row, two_rows;
  if (!Encode(frame, two.data(), 1, one_row, why) || !Encode(frame, two.data(), 2, two_rows, why))
    return false;
  if (one_row.size() < kHeaderEnd || two_rows.size() <= one_row.size())
    return why = "writer output", false;
  const auto* band = reinterpret_cast<const std::byte*>(two_rows.data());
  const std::size_t band_offset = Read32(band + kDataOffset, big_);
  stride_ = two_rows.size() - one_row.size();
  if (std::memcmp(band, bytes.data(), 4) != 0 ||
      std::memcmp(band + kLayout, &bytes[kLayout], kLayoutEnd - kLayout) != 0 ||
      std::memcmp(band + kLinePadding, &bytes[kLinePadding], 4) != 0 ||
      band_offset + 2 * stride_ > two_rows.size() ||
      RowAt(spec.height) > bytes.size() ||
      std::memcmp(band + band_offset, &bytes[data_offset_], 2 * stride_) != 0)
    return why = "the writer stores rows differently", false;

  block_w = spec.width;
  block_h = kBandRows;
  blocks_x = 1;
  blocks_y = (spec.height + kBandRows - 1) / kBandRows;
  return true;
}

bool DpxBlocks::Decode(int b, FrameBuffer& frame, std::string& error) const {
  const int y0 = b * block_h, y1 = std::min(frame.height(), y0 + block_h);
  const int top = source.y;
  const bool ok = in_->read_native_scanlines(0, 0, top + y0, top + y1, 0, frame.row(y0));
  // A decoder may report a fault and still succeed.
  const std::string reason = in_->geterror();
  if (ok && reason.empty()) return true;
  error = "rows " + std::to_string(y0) + "-" + std::to_string(y1 - 1) + ": " +
          (reason.empty() ? "cannot be decoded" : reason);
  return false;
}

bool DpxBlocks::HeaderChanges(const FrameBuffer& frame,
                              std::vector<HeaderChange>& changes) const {
  const OIIO::ImageSpec& s = *source_spec;
  const OIIO::ImageSpec& spec = frame.spec();
  if (spec.width != s.width || spec.height != s.height || spec.x != s.x || spec.y != s.y ||
      spec.full_x != s.full_x || spec.full_y != s.full_y || spec.full_width != s.full_width ||
      spec.full_height != s.full_height || spec.nchannels != s.nchannels ||
      spec.format != s.format || spec.channelformats != s.channelformats ||
      spec.channelnames != s.channelnames || spec.alpha_channel != s.alpha_channel)
    return false;
  for (const OIIO::ParamValue& p : s.extra_attribs)
    if (!spec.find_attribute(p.name())) return false;
  changes.clear();
  for (const OIIO::ParamValue& p : spec.extra_attribs) {
    const OIIO::ParamValue* before = s.find_attribute(p.name());
    if (before && SameValue(p, *before)) continue;
    const std::string name(OIIO::string_view(p.name()));
    // The writer ignores our own attributes; the description is the one
    // header text a stamp changes.
    if (p.type() != TypeDesc::STRING ||
        (name != "ImageDescription" && name.rfind(kOurPrefix, 0) != 0))
      return false;
    if (name == "ImageDescription") changes.push_back({name, p.get_string()});
  }
  return true;
}

Status DpxBlocks::Splice(const FrameBuffer& frame, const std::vector<char>& changed,
                         const std::vector<HeaderChange>&, OutFile& file,
                         const std::atomic<bool>* cancel, SpliceCounts& counts) const {
  const std::vector<std::byte>& in = *bytes_;
  std::string error;
  auto failed = [&] { return Status(StatusKind::kIo, error); };
  auto put = [&](const void* p, std::size_t n, std::size_t at) {
    if (file.pwrite(p, n, int64_t(at)) == n) return true;
    error = file.Failure().empty() ? "write failed" : file.Failure();
    return false;
  };
  // The header is the input's with the description the writer would put in
  // it, taken from the first band it encodes (or a blank row's, when no row
  // changed).
  std::vector<unsigned char> band;
  bool described = false;
  auto describe = [&] {
    described = true;
    return put(band.data() + kDescription, kDescriptionSize, kDescription);
  };
  if (!put(in.data(), data_offset_, 0)) return failed();
  const int n = count();
  for (int b = 0; b < n;) {
    if (cancel && cancel->load()) return Status::Cancelled();
    int e = b;
    while (e < n && changed[std::size_t(e)] == changed[std::size_t(b)]) ++e;
    const int y0 = b * block_h, y1 = std::min(frame.height(), e * block_h);
    if (!changed[std::size_t(b)]) {
      if (!put(&in[RowAt(y0)], RowAt(y1) - RowAt(y0), RowAt(y0))) return failed();
      counts.copied += e - b;
    } else {
      if (!Encode(frame, frame.row(y0), y1 - y0, band, error)) return failed();
      const std::size_t at = Read32(reinterpret_cast<const std::byte*>(band.data()) + kDataOffset,
                                    big_);
      const std::size_t size = std::size_t(y1 - y0) * stride_;
      if (at + size > band.size())
        return {StatusKind::kIo, "band " + std::to_string(b) + " too short"};
      if (!put(band.data() + at, size, RowAt(y0))) return failed();
      if (!described && !describe()) return failed();
      counts.encoded += e - b;
    }
    b = e;
  }
  if (!described) {
    const std::vector<std::byte> blank(frame.row_bytes());
    if (!Encode(frame, blank.data(), 1, band, error) || !describe()) return failed();
  }
  const std::size_t end = RowAt(frame.height());
  if (end != in.size() && !put(&in[end], in.size() - end, end)) return failed();
  return Status::Ok();
}

}  // namespace

bool CheckDpxHeader(const std::byte* head, std::size_t n, std::uint64_t file_size,
                    std::string& why) {
  if (n < 4) return true;
  const bool big = std::memcmp(head, "SDPX", 4) == 0;
  if (!big && std::memcmp(head, "XPDS", 4) != 0) return true;
  if (n < kDpxHeaderBytes)
    return why = "the DPX header is cut short (" + std::to_string(n) + " of " +
                 std::to_string(kDpxHeaderBytes) + " bytes)", false;
  // The reader allocates the user data the header claims (2^32-1: none).
  const std::uint64_t user = Read32(head + kUserDataSize, big);
  if (user != 0xFFFFFFFF && user > file_size)
    return why = "the DPX user data claims " + std::to_string(user) +
                 " bytes; the file ends at byte " + std::to_string(file_size), false;
  const unsigned elements = Read16(head + kElementCount, big);
  if (elements < 1 || elements > kMaxElements)
    return why = "the DPX header names " + std::to_string(elements) + " image elements (1 to 8)",
           false;
  const std::uint64_t width = Read32(head + kWidth, big), height = Read32(head + kHeight, big);
  const std::string ends = "; the file ends at byte " + std::to_string(file_size);
  for (unsigned e = 0; e < elements; ++e) {
    const std::byte* el = head + kElement + e * kElementBytes;
    const std::string which = "image element " + std::to_string(e + 1);
    const std::uint64_t offset = Read32(el + kAtOffset, big);
    if (offset >= file_size) return why = which + " starts at byte " + std::to_string(offset) + ends, false;
    // Padding the writer would write again is held to the file's own.
    auto padding = [&](std::size_t at) {
      const std::uint32_t v = Read32(el + at, big);
      return v == 0xFFFFFFFF ? 0u : v;  // undefined
    };
    using Wide = unsigned __int128;
    const Wide pad = Wide(padding(kAtLinePadding)) * height + padding(kAtImagePadding);
    const unsigned samples = SamplesOf(std::to_integer<unsigned>(el[kAtDescriptor]));
    const unsigned bits = std::to_integer<unsigned>(el[kAtBits]);
    const bool known = samples != 0 && (bits == 1 || bits == 8 || bits == 10 || bits == 12 ||
                                        bits == 16 || bits == 32 || bits == 64);
    // Run-length data may be shorter; other layouts are the reader's to
    // judge. However samples are packed, they take at least their bits.
    const bool rle = Read16(el + kAtEncoding, big) != 0;
    const Wide need = pad + (known && !rle ? (Wide(width) * height * samples * bits + 7) / 8 : 0);
    if (need > file_size - offset)
      return why = which + " (" + std::to_string(width) + "x" + std::to_string(height) + ", " +
                   std::to_string(samples) + " samples of " + std::to_string(bits) +
                   " bits a pixel, with its padding) needs " +
                   std::to_string(std::uint64_t(std::min<Wide>(need, UINT64_MAX))) +
                   " bytes from byte " + std::to_string(offset) + ends, false;
  }
  return true;
}

bool DpxWritable(const OIIO::ImageSpec& spec, std::string& why) {
  const int n = spec.nchannels;
  if (n != 1 && n != 3 && n != 4)
    return why = "DPX files hold 1, 3 or 4 channels, not " + std::to_string(n), false;
  const TypeDesc t = spec.format;
  if (t != TypeDesc::UINT8 && t != TypeDesc::UINT16 && !t.is_floating_point())
    return why = std::string("DPX files hold unsigned 8- to 16-bit or floating-point samples, not ") +
                 t.c_str(), false;
  return true;
}

std::unique_ptr<BlockFile> OpenDpxBlocks(std::unique_ptr<OIIO::ImageInput>& in,
                                         std::unique_ptr<OIIO::Filesystem::IOProxy>& memory,
                                         const std::vector<std::byte>& bytes,
                                         const FrameBuffer& frame, std::string& why) {
  auto file = std::make_unique<DpxBlocks>();
  if (!in || !file->Open(bytes, frame, *in, why)) return nullptr;
  file->Keep(std::move(in), std::move(memory));
  return file;
}

}  // namespace lumatrice
