// TIFF strips and tiles in and out through libtiff, over the file's bytes in
// memory; the output is a fresh file with the input's tags, its changed
// blocks coded on several threads (a handle each) and written raw in order.
#include "tiff_blocks.h"

#include <sys/mman.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "block_encoder.h"
#include "frame_buffer.h"
#include "out_file.h"
#include "tiff_stream.h"

namespace lumatrice {
namespace {

using OIIO::TypeDesc;


// Whether libtiff decodes float strips it encoded with the floating-point
// predictor in the other byte order as they were given. 4.5 swaps the
// samples before predicting, so what it writes reads back as other numbers;
// until it agrees with itself such files are written whole, never spliced.
bool SwappedFloatPredictorRoundTrips() {
  static const bool agrees = [] {
    const int fd = ::memfd_create("lumatrice-tiff-probe", MFD_CLOEXEC);
    const int again = fd >= 0 ? ::dup(fd) : -1;
    std::string messages;
    const uint16_t one = 1;
    const bool little_host = *reinterpret_cast<const unsigned char*>(&one) == 1;
    TIFF* out = again >= 0 ? OpenTiff("probe", little_host ? "wb" : "wl", nullptr, messages, fd)
                           : nullptr;
    const float given[4] = {0.5f, -1.25f, 3.0e7f, 1.0e-3f};
    float got[4] = {}, copy[4];
    std::memcpy(copy, given, sizeof copy);
    bool ok = out && TIFFSetField(out, TIFFTAG_IMAGEWIDTH, 4u) &&
              TIFFSetField(out, TIFFTAG_IMAGELENGTH, 1u) &&
              TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1) &&
              TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 32) &&
              TIFFSetField(out, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP) &&
              TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
              TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
              TIFFSetField(out, TIFFTAG_PREDICTOR, PREDICTOR_FLOATINGPOINT) &&
              TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, 1u) &&
              TIFFWriteEncodedStrip(out, 0, copy, sizeof copy) >= 0;
    if (out) TIFFClose(out);
    else if (fd >= 0) ::close(fd);
    TIFF* in = ok && ::lseek(again, 0, SEEK_SET) == 0 ? OpenTiff("probe", "r", nullptr, messages, again)
                                                       : nullptr;
    ok = in && TIFFReadEncodedStrip(in, 0, got, sizeof got) == tmsize_t(sizeof got) &&
         std::memcmp(given, got, sizeof got) == 0;
    if (in) TIFFClose(in);
    else if (again >= 0) ::close(again);
    return ok;
  }();
  return agrees;
}

// Fixed fields libtiff keeps outside its list of custom tags, copied one by
// one (COMPRESSION before PREDICTOR: the codec brings that tag).
const uint32_t kShortTags[] = {
    TIFFTAG_BITSPERSAMPLE,  TIFFTAG_COMPRESSION,    TIFFTAG_PREDICTOR,    TIFFTAG_PHOTOMETRIC,
    TIFFTAG_THRESHHOLDING,  TIFFTAG_FILLORDER,      TIFFTAG_ORIENTATION,  TIFFTAG_SAMPLESPERPIXEL,
    TIFFTAG_MINSAMPLEVALUE, TIFFTAG_MAXSAMPLEVALUE, TIFFTAG_PLANARCONFIG, TIFFTAG_RESOLUTIONUNIT,
    TIFFTAG_SAMPLEFORMAT};
const uint32_t kLongTags[] = {TIFFTAG_SUBFILETYPE,  TIFFTAG_IMAGEWIDTH, TIFFTAG_IMAGELENGTH,
                              TIFFTAG_ROWSPERSTRIP, TIFFTAG_TILEWIDTH,  TIFFTAG_TILELENGTH,
                              TIFFTAG_IMAGEDEPTH,   TIFFTAG_TILEDEPTH};
const uint32_t kFloatTags[] = {TIFFTAG_XRESOLUTION, TIFFTAG_YRESOLUTION, TIFFTAG_XPOSITION,
                               TIFFTAG_YPOSITION};
// Fixed fields not copied: a file that sets one is written whole.
const uint32_t kRefusedTags[] = {
    TIFFTAG_COLORMAP,        TIFFTAG_SUBIFD,           TIFFTAG_TRANSFERFUNCTION,
    TIFFTAG_SMINSAMPLEVALUE, TIFFTAG_SMAXSAMPLEVALUE,  TIFFTAG_HALFTONEHINTS,
    TIFFTAG_INKNAMES,        TIFFTAG_YCBCRSUBSAMPLING, TIFFTAG_DOTRANGE};

// Whether custom tag `f` can be copied: not a pointer to another directory
// (which would dangle in the new file), and of a shape CopyCustom knows.
bool Copyable(const TIFFField* f) {
  const TIFFDataType t = TIFFFieldDataType(f);
  if (t == TIFF_IFD || t == TIFF_IFD8 || TIFFFieldTag(f) == TIFFTAG_DOTRANGE) return false;
  return TIFFFieldPassCount(f) || t == TIFF_ASCII || TIFFFieldWriteCount(f) != 1 ||
         TIFFFieldSetGetSize(f) > 0;
}

bool CopyCustom(TIFF* in, TIFF* out, uint32_t tag) {
  const TIFFField* f = TIFFFieldWithTag(in, tag);
  if (!f || !Copyable(f)) return false;
  if (TIFFFieldIsAnonymous(f) && !TIFFFindField(out, tag, TIFF_ANY)) {
    TIFFFieldInfo info{tag,
                       TIFF_VARIABLE2,
                       TIFF_VARIABLE2,
                       TIFFFieldDataType(f),
                       FIELD_CUSTOM,
                       1,
                       1,
                       const_cast<char*>(TIFFFieldName(f))};
    if (TIFFMergeFieldInfo(out, &info, 1) != 0) return false;
  }
  void* p = nullptr;
  if (TIFFFieldPassCount(f)) {
    const bool wide = TIFFFieldSetGetCountSize(f) == 4;
    uint32_t n32 = 0;
    uint16_t n16 = 0;
    if (!(wide ? TIFFGetField(in, tag, &n32, &p) : TIFFGetField(in, tag, &n16, &p))) return false;
    const uint32_t n = wide ? n32 : n16;
    return TIFFFieldWriteCount(f) == TIFF_VARIABLE2 ? TIFFSetField(out, tag, n, p)
                                                    : TIFFSetField(out, tag, int(n), p);
  }
  const TIFFDataType t = TIFFFieldDataType(f);
  if (t == TIFF_ASCII || TIFFFieldWriteCount(f) != 1)
    return TIFFGetField(in, tag, &p) && TIFFSetField(out, tag, p);
  // One value, passed on as varargs promote it.
  union {
    uint8_t u8;
    uint16_t u16;
    uint32_t u32;
    uint64_t u64;
    float f32;
    double f64;
  } v{};
  if (!TIFFGetField(in, tag, &v)) return false;
  switch (t) {
    case TIFF_BYTE:
    case TIFF_SBYTE:
    case TIFF_UNDEFINED:
      return TIFFSetField(out, tag, int(v.u8));
    case TIFF_SHORT:
    case TIFF_SSHORT:
      return TIFFSetField(out, tag, int(v.u16));
    case TIFF_LONG:
    case TIFF_SLONG:
      return TIFFSetField(out, tag, v.u32);
    case TIFF_LONG8:
    case TIFF_SLONG8:
      return TIFFSetField(out, tag, v.u64);
    case TIFF_FLOAT:
      return TIFFSetField(out, tag, double(v.f32));
    case TIFF_DOUBLE:
      return TIFFSetField(out, tag, v.f64);
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
      return TIFFSetField(out, tag, TIFFFieldSetGetSize(f) == 8 ? v.f64 : double(v.f32));
    default:
      return false;
  }
}

// The predictor of a compression that has one (none when the tag is
// absent); false for the others. (libtiff's defaulted read of the tag looks
// into whatever codec state there is.)
bool Predicted(TIFF* tif, uint16_t& predictor) {
  uint16_t compression = COMPRESSION_NONE;
  TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
  if (compression != COMPRESSION_LZW && compression != COMPRESSION_ADOBE_DEFLATE &&
      compression != COMPRESSION_DEFLATE)
    return false;
  predictor = PREDICTOR_NONE;
  TIFFGetField(tif, TIFFTAG_PREDICTOR, &predictor);
  return true;
}

// The directories the main one may point at, copied tag by tag.
struct Linked {
  uint32_t tag;
  const char* name;
  int (*read)(TIFF*, toff_t);
  int (*create)(TIFF*);
};
const Linked kLinked[] = {{TIFFTAG_EXIFIFD, "EXIF", TIFFReadEXIFDirectory, TIFFCreateEXIFDirectory},
                          {TIFFTAG_GPSIFD, "GPS", TIFFReadGPSDirectory, TIFFCreateGPSDirectory}};
constexpr int kLinkedCount = 2;
bool IsLinked(uint32_t tag) { return tag == TIFFTAG_EXIFIFD || tag == TIFFTAG_GPSIFD; }

// The current directory's custom tags; a link is set to 0 until the
// directory it points at is written.
bool CopyCustomTags(TIFF* in, TIFF* out) {
  for (int i = 0, count = TIFFGetTagListCount(in); i < count; ++i) {
    const uint32_t tag = TIFFGetTagListEntry(in, i);
    if (IsLinked(tag) ? !TIFFSetField(out, tag, uint64_t(0)) : !CopyCustom(in, out, tag))
      return false;
  }
  return true;
}

// Why the current directory's custom tags cannot all be copied; empty when
// they can.
std::string UncopyableTag(TIFF* in) {
  for (int i = 0, n = TIFFGetTagListCount(in); i < n; ++i) {
    const uint32_t tag = TIFFGetTagListEntry(in, i);
    const TIFFField* f = TIFFFieldWithTag(in, tag);
    if (!f || (!Copyable(f) && !IsLinked(tag))) return "tag " + std::to_string(tag);
  }
  return {};
}

// UncopyableTag for a linked directory, which may link on to none (not to
// itself, nor back to the image's): such a link would dangle, and libtiff's
// writer aborts on the tags it then sees twice.
std::string LinkedTagProblem(TIFF* in) {
  for (int i = 0, n = TIFFGetTagListCount(in); i < n; ++i)
    if (IsLinked(TIFFGetTagListEntry(in, i))) return "a linked directory links on";
  return UncopyableTag(in);
}

bool CopyTags(TIFF* in, TIFF* out) {
  for (uint32_t tag : kShortTags) {
    uint16_t v = 0;
    if (TIFFGetField(in, tag, &v) && !TIFFSetField(out, tag, int(v))) return false;
  }
  for (uint32_t tag : kLongTags) {
    uint32_t v = 0;
    if (TIFFGetField(in, tag, &v) && !TIFFSetField(out, tag, v)) return false;
  }
  for (uint32_t tag : kFloatTags) {
    float v = 0;
    if (TIFFGetField(in, tag, &v) && !TIFFSetField(out, tag, double(v))) return false;
  }
  uint16_t page = 0, pages = 0, n = 0;
  uint16_t* extra = nullptr;
  float* reference = nullptr;
  if (TIFFGetField(in, TIFFTAG_PAGENUMBER, &page, &pages) &&
      !TIFFSetField(out, TIFFTAG_PAGENUMBER, int(page), int(pages)))
    return false;
  if (TIFFGetField(in, TIFFTAG_EXTRASAMPLES, &n, &extra) &&
      !TIFFSetField(out, TIFFTAG_EXTRASAMPLES, int(n), extra))
    return false;
  if (TIFFGetField(in, TIFFTAG_REFERENCEBLACKWHITE, &reference) &&
      !TIFFSetField(out, TIFFTAG_REFERENCEBLACKWHITE, reference))
    return false;
  return CopyCustomTags(in, out);
}

// A fixed field that shapes how a block is coded, as the input sets it.
struct CodingTag {
  uint32_t tag;
  uint32_t value;
  bool is_short;
};

// A worker's own libtiff handle over memory, set up as the output is: it
// codes changed blocks, which the writer then writes raw, in order.
struct Scratch {
  std::vector<std::byte> bytes;
  TiffStream stream;
  std::string messages;
  TIFF* tif = nullptr;
  std::vector<std::byte> packed;
  ~Scratch() {
    if (tif) TIFFCleanup(tif);  // nothing to flush: only its blocks are kept
  }
};
constexpr uint32_t kMostTileSide = 65536;
// A scratch handle is started again past this many coded bytes.
constexpr std::size_t kScratchBytes = std::size_t(16) << 20;

class TiffBlocks final : public BlockFile {
 public:
  ~TiffBlocks() override {
    if (in_) TIFFClose(in_);
  }

  bool Open(const std::string& path, const std::vector<std::byte>& bytes, const FrameBuffer& frame,
            std::string& why);
  const char* format() const override { return "tiff"; }
  bool Decode(int b, FrameBuffer& frame, std::string& error) const override;
  Status Splice(const FrameBuffer& frame, const std::vector<char>& changed,
                const std::vector<HeaderChange>& header, OutFile& file,
                const std::atomic<bool>* cancel, SpliceCounts& counts) const override;
  bool HeaderChanges(const FrameBuffer& frame,
                     std::vector<HeaderChange>& changes) const override;
  // A copy (the slate) keeps the file's own writer, and so its layout.
  std::unique_ptr<BlockFile> Reopen(const std::vector<std::byte>& bytes,
                                    const FrameBuffer& frame) const override {
    auto file = std::make_unique<TiffBlocks>();
    std::string why;
    if (!file->Open(path_, bytes, frame, why)) return nullptr;
    file->source = source;
    file->source_spec = source_spec;
    return file;
  }

 private:
  // Block b's pixels: where they start in the frame, their width and rows.
  void Extent(int b, const FrameBuffer& frame, int& x, int& y, int& w, int& h) const;
  // Block b packed as libtiff codes it (a tile is always whole).
  std::size_t PackedSize(const FrameBuffer& frame) const {
    return frame.pixel_bytes() * std::size_t(block_w) * std::size_t(block_h);
  }
  void Copy(int b, const FrameBuffer& frame, std::byte* packed, bool to_frame) const;
  // The block grid and every block's place in the file.
  bool MapBlocks(const FrameBuffer& frame, std::string& why);
  // Checks the EXIF and GPS directories and notes where they lie.
  bool ReadLinked(std::string& why);
  // Writes the main directory, then the linked ones, and points it at them.
  bool WriteLinked(TIFF* out) const;
  // Notes the byte order and fixed fields a worker's handle needs (workers
  // never touch in_).
  void ReadCodingTags();
  // A handle that codes blocks as the output's would; null with `why`.
  std::unique_ptr<Scratch> NewScratch(std::string& why) const;
  bool CodeBlock(Scratch& s, int b, const FrameBuffer& frame, BlockBytes& bytes,
                 std::string& why) const;

  std::string path_;
  TiffStream stream_;
  mutable std::mutex mutex_;  // libtiff's handle is not for several threads
  mutable std::string messages_;
  TIFF* in_ = nullptr;
  bool tiled_ = false;
  bool big_endian_ = false, big_tiff_ = false;
  std::vector<std::pair<uint64_t, uint64_t>> stored_;  // offset, size by block
  uint64_t linked_[kLinkedCount] = {};                  // by kLinked; 0 for none
  std::vector<CodingTag> coding_;  // read at open: workers never touch in_
  std::vector<uint16_t> extra_samples_;
};

bool TiffBlocks::Open(const std::string& path, const std::vector<std::byte>& bytes,
                      const FrameBuffer& frame, std::string& why) {
  path_ = path;
  stream_.data = bytes.data();
  stream_.size = bytes.size();
  in_ = OpenTiff(path, "r", &stream_, messages_);
  if (!in_) return why = messages_.empty() ? "not a TIFF file" : messages_, false;
  if (TIFFNumberOfDirectories(in_) != 1) return why = "several directories", false;
  uint16_t compression = 0, planar = 0, photometric = 0, bits = 0, format = 0, samples = 0;
  TIFFGetFieldDefaulted(in_, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(in_, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(in_, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(in_, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(in_, TIFFTAG_SAMPLESPERPIXEL, &samples);
  if (!TIFFGetField(in_, TIFFTAG_PHOTOMETRIC, &photometric)) return why = "photometric", false;
  if (compression != COMPRESSION_NONE && compression != COMPRESSION_LZW &&
      compression != COMPRESSION_ADOBE_DEFLATE && compression != COMPRESSION_DEFLATE &&
      compression != COMPRESSION_PACKBITS)
    return why = "compression", false;
  if (planar != PLANARCONFIG_CONTIG) return why = "separate planes", false;
  if (photometric != PHOTOMETRIC_RGB && photometric != PHOTOMETRIC_MINISBLACK)
    return why = "photometric", false;
  const TypeDesc type = frame.type();
  const bool sample_ok = (format == SAMPLEFORMAT_UINT && bits == 8 && type == TypeDesc::UINT8) ||
                         (format == SAMPLEFORMAT_UINT && bits == 16 && type == TypeDesc::UINT16) ||
                         (format == SAMPLEFORMAT_IEEEFP && bits == 32 && type == TypeDesc::FLOAT);
  if (!sample_ok || samples != frame.channels() || frame.desc().format() == TypeDesc::UNKNOWN)
    return why = "sample layout", false;
  for (uint32_t tag : kRefusedTags) {
    void* a = nullptr;
    void* b = nullptr;
    void* c = nullptr;
    if (TIFFGetField(in_, tag, &a, &b, &c)) return why = "tag " + std::to_string(tag), false;
  }
  why = UncopyableTag(in_);
  if (!why.empty() || !ReadLinked(why)) return false;
  uint16_t predictor = PREDICTOR_NONE;
  if (Predicted(in_, predictor) && predictor == PREDICTOR_FLOATINGPOINT && TIFFIsByteSwapped(in_) &&
      !SwappedFloatPredictorRoundTrips())
    return why = "floating-point predictor in the other byte order", false;
  uint32_t width = 0, height = 0;
  TIFFGetField(in_, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(in_, TIFFTAG_IMAGELENGTH, &height);
  if (int64_t(width) != frame.width() || int64_t(height) != frame.height())
    return why = "size", false;
  if (!MapBlocks(frame, why)) return false;
  ReadCodingTags();
  TakeSource(frame);
  return true;
}

bool TiffBlocks::MapBlocks(const FrameBuffer& frame, std::string& why) {
  tiled_ = TIFFIsTiled(in_);
  if (tiled_) {
    uint32_t tw = 0, th = 0;
    // No frame side is over kMostTileSide: a bigger tile is damage, and
    // would overflow the block sizes.
    if (!TIFFGetField(in_, TIFFTAG_TILEWIDTH, &tw) || !TIFFGetField(in_, TIFFTAG_TILELENGTH, &th) ||
        tw == 0 || th == 0 || tw > kMostTileSide || th > kMostTileSide)
      return why = "tile size", false;
    block_w = int(tw);
    block_h = int(th);
    blocks_x = (frame.width() + int(tw) - 1) / int(tw);
  } else {
    uint32_t rows = 0;
    TIFFGetFieldDefaulted(in_, TIFFTAG_ROWSPERSTRIP, &rows);
    block_w = frame.width();
    block_h = int(std::min(std::max(rows, 1u), uint32_t(frame.height())));
    blocks_x = 1;
  }
  blocks_y = (frame.height() + block_h - 1) / block_h;
  if (uint32_t(count()) != (tiled_ ? TIFFNumberOfTiles(in_) : TIFFNumberOfStrips(in_)))
    return why = "block count", false;
  // Every block's place is checked now: a truncated or damaged offset table
  // fails the read, as it does on the whole-frame path.
  stored_.resize(std::size_t(count()));
  for (int b = 0; b < count(); ++b) {
    int err = 0;
    const uint64_t at = TIFFGetStrileOffsetWithErr(in_, uint32_t(b), &err);
    const uint64_t size = TIFFGetStrileByteCountWithErr(in_, uint32_t(b), &err);
    if (err || at > stream_.size || size > stream_.size - at || (size == 0 && at == 0))
      return why = "block " + std::to_string(b) + " lies beyond the end of the file", false;
    stored_[std::size_t(b)] = {at, size};
  }
  return true;
}

void TiffBlocks::ReadCodingTags() {
  big_endian_ = TIFFIsBigEndian(in_);
  big_tiff_ = TIFFIsBigTIFF(in_);
  for (uint32_t tag : kShortTags) {
    uint16_t v = 0;
    if (TIFFGetField(in_, tag, &v)) coding_.push_back({tag, v, true});
  }
  for (uint32_t tag : kLongTags) {
    uint32_t v = 0;
    if (TIFFGetField(in_, tag, &v)) coding_.push_back({tag, v, false});
  }
  uint16_t n = 0;
  uint16_t* extra = nullptr;
  if (TIFFGetField(in_, TIFFTAG_EXTRASAMPLES, &n, &extra)) extra_samples_.assign(extra, extra + n);
}

std::unique_ptr<Scratch> TiffBlocks::NewScratch(std::string& why) const {
  auto s = std::make_unique<Scratch>();
  s->stream.sink = &s->bytes;
  const std::string mode = std::string("w") + (big_endian_ ? "b" : "l") + (big_tiff_ ? "8" : "");
  s->tif = OpenTiff(path_, mode.c_str(), &s->stream, s->messages);
  bool ok = s->tif != nullptr;
  for (const CodingTag& t : coding_)
    ok = ok && (t.is_short ? TIFFSetField(s->tif, t.tag, int(t.value))
                           : TIFFSetField(s->tif, t.tag, t.value));
  if (ok && !extra_samples_.empty())
    ok = TIFFSetField(s->tif, TIFFTAG_EXTRASAMPLES, int(extra_samples_.size()),
                      extra_samples_.data());
  if (!ok) why = "coder" + (s->messages.empty() ? std::string() : " (" + s->messages + ")");
  return ok ? std::move(s) : nullptr;
}

bool TiffBlocks::CodeBlock(Scratch& s, int b, const FrameBuffer& frame, BlockBytes& bytes,
                           std::string& why) const {
  // libtiff swaps and predicts in the buffer it is given: a copy.
  int x, y, w, h;
  Extent(b, frame, x, y, w, h);
  s.packed.resize(PackedSize(frame));
  const tmsize_t want =
      tiled_ ? tmsize_t(s.packed.size()) : tmsize_t(frame.row_bytes() * std::size_t(h));
  if (tiled_) {
    // An edge tile's padding is coded too: zeros, so equal tiles code alike.
    if (w < block_w || h < block_h) std::fill(s.packed.begin(), s.packed.end(), std::byte{0});
    Copy(b, frame, s.packed.data(), false);
  } else {
    std::memcpy(s.packed.data(), frame.row(y), std::size_t(want));
  }
  s.messages.clear();
  const tmsize_t wrote = tiled_ ? TIFFWriteEncodedTile(s.tif, uint32_t(b), s.packed.data(), want)
                                : TIFFWriteEncodedStrip(s.tif, uint32_t(b), s.packed.data(), want);
  const uint64_t at = TIFFGetStrileOffset(s.tif, uint32_t(b));
  const uint64_t n = TIFFGetStrileByteCount(s.tif, uint32_t(b));
  if (wrote < 0 || at > s.bytes.size() || n > s.bytes.size() - at) {
    why = "block " + std::to_string(b) + (s.messages.empty() ? "" : " (" + s.messages + ")");
    return false;
  }
  bytes.assign(s.bytes.begin() + std::ptrdiff_t(at), s.bytes.begin() + std::ptrdiff_t(at + n));
  return true;
}

bool TiffBlocks::ReadLinked(std::string& why) {
  bool moved = false;
  for (int i = 0; i < kLinkedCount && why.empty(); ++i) {
    uint64_t at = 0;
    if (!TIFFGetField(in_, kLinked[i].tag, &at)) continue;
    moved = true;
    if (at == 0 || at >= stream_.size || !kLinked[i].read(in_, at))
      why = std::string(kLinked[i].name) + " directory unreadable";
    else
      why = LinkedTagProblem(in_);
    linked_[i] = at;
  }
  // Back to the image, for its blocks and the tags a write copies.
  if (moved && !TIFFSetDirectory(in_, 0) && why.empty()) why = "directory";
  return why.empty();
}

bool TiffBlocks::WriteLinked(TIFF* out) const {
  if (!TIFFWriteDirectory(out)) return false;
  uint64_t written[kLinkedCount] = {};
  bool ok = true;
  for (int i = 0; i < kLinkedCount && ok; ++i)
    if (linked_[i])
      ok = kLinked[i].read(in_, linked_[i]) && kLinked[i].create(out) == 0 &&
           CopyCustomTags(in_, out) && TIFFWriteCustomDirectory(out, &written[i]);
  const bool back = TIFFSetDirectory(in_, 0);
  ok = ok && back && TIFFSetDirectory(out, 0);
  for (int i = 0; i < kLinkedCount && ok; ++i)
    if (linked_[i]) ok = TIFFSetField(out, kLinked[i].tag, written[i]);
  return ok && TIFFWriteDirectory(out);
}

void TiffBlocks::Extent(int b, const FrameBuffer& frame, int& x, int& y, int& w, int& h) const {
  x = (b % blocks_x) * block_w;
  y = (b / blocks_x) * block_h;
  w = std::min(block_w, frame.width() - x);
  h = std::min(block_h, frame.height() - y);
}

void TiffBlocks::Copy(int b, const FrameBuffer& frame, std::byte* packed, bool to_frame) const {
  int x, y, w, h;
  Extent(b, frame, x, y, w, h);
  const std::size_t line = frame.pixel_bytes() * std::size_t(block_w);
  const std::size_t used = frame.pixel_bytes() * std::size_t(w);
  for (int r = 0; r < h; ++r) {
    auto* f = const_cast<std::byte*>(frame.row(y + r)) + std::size_t(x) * frame.pixel_bytes();
    if (to_frame)
      std::memcpy(f, packed + line * std::size_t(r), used);
    else
      std::memcpy(packed + line * std::size_t(r), f, used);
  }
}

bool TiffBlocks::Decode(int b, FrameBuffer& frame, std::string& error) const {
  std::lock_guard lock(mutex_);
  messages_.clear();
  int x, y, w, h;
  Extent(b, frame, x, y, w, h);
  tmsize_t got;
  if (tiled_) {
    std::vector<std::byte> packed(PackedSize(frame));
    got = TIFFReadEncodedTile(in_, uint32_t(b), packed.data(), tmsize_t(packed.size()));
    if (got == tmsize_t(packed.size())) Copy(b, frame, packed.data(), true);
  } else {
    // A strip's rows lie in the frame as libtiff decodes them.
    got = TIFFReadEncodedStrip(in_, uint32_t(b), frame.row(y),
                               tmsize_t(frame.row_bytes() * std::size_t(h)));
    if (got != tmsize_t(frame.row_bytes() * std::size_t(h))) got = -1;
  }
  if (got <= 0 || (tiled_ && got != tmsize_t(PackedSize(frame)))) {
    error =
        "block " + std::to_string(b) + ": " + (messages_.empty() ? "cannot be decoded" : messages_);
    return false;
  }
  return true;
}

bool TiffBlocks::HeaderChanges(const FrameBuffer& frame,
                               std::vector<HeaderChange>& changes) const {
  std::vector<HeaderChange> texts;
  if (!ChangedTexts(*this, frame, texts)) return false;
  changes.clear();
  for (HeaderChange& t : texts) {
    if (t.name == "ImageDescription")
      changes.push_back(std::move(t));
    else if (t.name.rfind(kOurPrefix, 0) != 0)  // TIFF has no tag for ours
      return false;
  }
  return true;
}

Status TiffBlocks::Splice(const FrameBuffer& frame, const std::vector<char>& changed,
                          const std::vector<HeaderChange>& header, OutFile& file,
                          const std::atomic<bool>* cancel, SpliceCounts& counts) const {
  std::lock_guard lock(mutex_);
  TiffStream sink;
  sink.file = &file;
  std::string messages;
  const std::string mode = std::string("w") + (big_endian_ ? "b" : "l") + (big_tiff_ ? "8" : "");
  TIFF* out = OpenTiff(file.filename(), mode.c_str(), &sink, messages);
  if (!out) return {StatusKind::kIo, messages.empty() ? "cannot start the file" : messages};
  struct Close {
    TIFF* out;
    ~Close() { TIFFClose(out); }
  } close{out};
  auto fail = [&](const std::string& what) {
    return Status(StatusKind::kIo, what + (messages.empty() ? std::string() : " (" + messages + ")"));
  };
  if (!CopyTags(in_, out)) return fail("tags");
  for (const HeaderChange& h : header)
    if (h.name == "ImageDescription" &&
        !TIFFSetField(out, TIFFTAG_IMAGEDESCRIPTION, h.value.c_str()))
      return fail("description");

  std::unique_ptr<Scratch> scratch[kMaxEncodeWorkers];
  BlockCoder coder;
  coder.encode = [&](int worker, int b, BlockBytes& bytes, std::string& why) {
    std::unique_ptr<Scratch>& mine = scratch[worker];
    if (mine && mine->bytes.size() > kScratchBytes) mine.reset();
    if (!mine) mine = NewScratch(why);
    return mine && CodeBlock(*mine, b, frame, bytes, why);
  };
  coder.write = [&](int b, const BlockBytes* coded, std::string& why) {
    const auto [at, size] = stored_[std::size_t(b)];
    auto* raw = coded ? const_cast<std::byte*>(coded->data())
                      : const_cast<std::byte*>(stream_.data + at);
    const tmsize_t want = tmsize_t(coded ? coded->size() : size);
    const tmsize_t wrote = tiled_ ? TIFFWriteRawTile(out, uint32_t(b), raw, want)
                                  : TIFFWriteRawStrip(out, uint32_t(b), raw, want);
    if (wrote == want) return true;
    why = "block " + std::to_string(b) + (messages.empty() ? "" : " (" + messages + ")");
    return false;
  };
  if (Status written = WriteBlocksInOrder(*this, frame, changed, coder, cancel, counts);
      !written)
    return written;
  const bool linked =
      std::any_of(std::begin(linked_), std::end(linked_), [](uint64_t at) { return at != 0; });
  if (!(linked ? WriteLinked(out) : TIFFFlush(out))) return fail("directory");
  return Status::Ok();
}

}  // namespace

bool InspectTiff(const std::string& path, const std::vector<std::byte>* bytes,
                 OIIO::ImageSpec& spec, std::string& why) {
  TiffStream stream;
  if (bytes) {
    stream.data = bytes->data();
    stream.size = bytes->size();
  }
  std::string messages;
  TIFF* tif = OpenTiff(path, "r", bytes ? &stream : nullptr, messages);
  if (!tif) return true;  // the image reader's own message says more
  uint16_t subimages = 0;
  void* offsets = nullptr;
  const bool nested = TIFFGetField(tif, TIFFTAG_SUBIFD, &subimages, &offsets) && subimages > 0;
  uint16_t predictor = 0;
  if (Predicted(tif, predictor)) spec.attribute("tiff:Predictor", int(predictor));
  if (TIFFIsBigTIFF(tif)) spec.attribute("tiff:bigtiff", 1);
  TIFFClose(tif);
  if (nested) why = "holds sub-images (SubIFD); only single-image files can be stamped";
  return !nested;
}

std::unique_ptr<BlockFile> OpenTiffBlocks(const std::string& path,
                                          const std::vector<std::byte>& bytes,
                                          const FrameBuffer& frame, std::string& why) {
  auto file = std::make_unique<TiffBlocks>();
  if (!file->Open(path, bytes, frame, why)) return nullptr;
  return file;
}

}  // namespace lumatrice
