// Frame memory in the file's own layout, and its 16-bit RGBA face.
#include "frame_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include <strings.h>

#include <OpenImageIO/half.h>

namespace lumatrice {

namespace {

using OIIO::TypeDesc;

bool IsName(const std::string& name, const char* want) {
  // "R" or a layered name such as "diffuse.R".
  const std::size_t dot = name.rfind('.');
  const std::string tail = dot == std::string::npos ? name : name.substr(dot + 1);
  return ::strcasecmp(tail.c_str(), want) == 0;
}

int FindChannel(const FrameSpec& spec, const char* a, const char* b = nullptr) {
  for (int c = 0; c < spec.channels(); ++c) {
    if (IsName(spec.channel_names[c], a) || (b && IsName(spec.channel_names[c], b))) return c;
  }
  return -1;
}

bool Natively(TypeDesc t) {
  return t == TypeDesc::UINT8 || t == TypeDesc::UINT16 || t == TypeDesc::HALF ||
         t == TypeDesc::FLOAT || t == TypeDesc::DOUBLE;
}

// ---- sample conversions ----------------------------------------------------

template <typename T>
WORD To16(T v);
template <>
WORD To16(std::uint8_t v) { return WORD(v * 257); }
template <>
WORD To16(std::uint16_t v) { return v; }
template <>
WORD To16(double v) {
  if (!(v > 0.0)) return 0;  // NaN and negatives
  if (v >= 1.0) return 0xFFFF;
  return WORD(v * 65535.0 + 0.5);
}
template <>
WORD To16(float v) { return To16(double(v)); }

// Half has only 65536 values each way: both conversions are tables, filled
// once at start-up from the arithmetic above (about a millisecond). A slate
// reads, compares and writes every pixel of the frame, and the arithmetic (a
// software float-to-half among it) cost more than the rest of the apply on
// half frames; a lazily built table still cost a guard and a call per sample.
struct HalfTables {
  WORD to16[0x10000];
  unsigned short from16[0x10000];
  HalfTables() {
    half h;
    for (unsigned v = 0; v <= 0xFFFF; ++v) {
      h.setBits(static_cast<unsigned short>(v));
      to16[v] = To16(double(float(h)));
      from16[v] = half(float(v) / 65535.0f).bits();
    }
  }
};
const HalfTables kHalf;

template <>
WORD To16(half v) { return kHalf.to16[v.bits()]; }

template <typename T>
T From16(WORD v);
template <>
std::uint8_t From16(WORD v) { return std::uint8_t(v >> 8); }
template <>
std::uint16_t From16(WORD v) { return v; }
template <>
float From16(WORD v) { return float(v) / 65535.0f; }
template <>
double From16(WORD v) { return double(v) / 65535.0; }
template <>
half From16(WORD v) {
  half h;
  h.setBits(kHalf.from16[v]);
  return h;
}

WORD Luma(const BMM_Color_64& c) {
  return WORD((std::uint32_t(c.r) * 2126 + std::uint32_t(c.g) * 7152 + std::uint32_t(c.b) * 722 +
               5000) / 10000);
}

// Inlined into the row loops, with the layout in registers: as calls they
// cost more than the conversions.
template <typename T>
[[gnu::always_inline]] inline BMM_Color_64 ReadPixel(const T* p, const ChannelLayout& l) {
  BMM_Color_64 c;
  if (l.red >= 0) {
    c.r = To16(p[l.red]);
    c.g = To16(p[l.green]);
    c.b = To16(p[l.blue]);
  } else {
    c.r = c.g = c.b = To16(p[l.grey]);
  }
  c.a = l.alpha >= 0 ? To16(p[l.alpha]) : WORD(0xFFFF);
  return c;
}

template <typename T>
[[gnu::always_inline]] inline void WritePixel(T* p, const ChannelLayout& l, const BMM_Color_64& c) {
  if (l.red >= 0) {
    p[l.red] = From16<T>(c.r);
    p[l.green] = From16<T>(c.g);
    p[l.blue] = From16<T>(c.b);
  } else {
    p[l.grey] = From16<T>(Luma(c));
  }
  if (l.alpha >= 0) p[l.alpha] = From16<T>(c.a);
}

bool Same(const BMM_Color_64& a, const BMM_Color_64& b) {
  return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

template <typename T>
void GetRow(const FrameBuffer& f, int x, int y, int count, BMM_Color_64* out) {
  f.Need(y, x, x + count);
  const int nc = f.channels();
  const ChannelLayout l = f.layout();
  const T* p = reinterpret_cast<const T*>(f.row(y)) + std::size_t(x) * nc;
  for (int i = 0; i < count; ++i, p += nc) out[i] = ReadPixel(p, l);
}

template <typename T>
void PutRow(FrameBuffer& f, int x, int y, int count, const BMM_Color_64* in) {
  const int nc = f.channels();
  const ChannelLayout l = f.layout();
  f.Need(y, x, x + count);
  T* p = reinterpret_cast<T*>(f.row(y)) + std::size_t(x) * nc;
  const bool lazy = f.blocks() != nullptr;
  int marked_to = x;  // columns below this lie in a block already marked
  for (int i = 0; i < count; ++i, p += nc) {
    if (!Same(ReadPixel(p, l), in[i])) {
      WritePixel(p, l, in[i]);
      if (lazy && x + i >= marked_to) marked_to = f.MarkChanged(x + i, y);
    }
  }
}

}  // namespace

ChannelLayout ChannelLayout::For(const FrameSpec& spec) {
  ChannelLayout l;
  const int n = spec.channels();
  if (n <= 0) return l;
  l.alpha = spec.alpha_channel >= 0 && spec.alpha_channel < n ? spec.alpha_channel
                                                               : FindChannel(spec, "A", "alpha");
  int r = FindChannel(spec, "R", "red");
  int g = FindChannel(spec, "G", "green");
  int b = FindChannel(spec, "B", "blue");
  if (r >= 0 && g >= 0 && b >= 0) {
    l.red = r, l.green = g, l.blue = b;
    return l;
  }
  // Unnamed channels: the first three non-alpha ones are colour, else grey.
  int colour[3];
  int found = 0;
  for (int c = 0; c < n && found < 3; ++c) {
    if (c != l.alpha) colour[found++] = c;
  }
  if (found == 3 && FindChannel(spec, "Y") < 0) {
    l.red = colour[0], l.green = colour[1], l.blue = colour[2];
  } else if (found >= 1) {
    const int y = FindChannel(spec, "Y");
    l.grey = y >= 0 ? y : colour[0];
  }
  return l;
}

TypeDesc FrameBuffer::HeldType(const FrameSpec& spec) {
  if (const TypeDesc one = spec.format(); one != TypeDesc::UNKNOWN)
    return Natively(one) ? one : TypeDesc(TypeDesc::DOUBLE);
  bool fits_float = true;
  for (const TypeDesc& t : spec.channel_types) {
    fits_float = fits_float && (t == TypeDesc::UINT8 || t == TypeDesc::UINT16 ||
                                t == TypeDesc::HALF || t == TypeDesc::FLOAT);
  }
  return fits_float ? TypeDesc::FLOAT : TypeDesc::DOUBLE;
}

FrameBuffer::FrameBuffer() = default;
FrameBuffer::~FrameBuffer() = default;

FrameBuffer::FrameBuffer(const FrameBuffer& other) { *this = other; }

FrameBuffer& FrameBuffer::operator=(const FrameBuffer& other) {
  if (this == &other) return *this;
  other.Materialize();
  DropBlocks();
  {
    std::lock_guard lock(other.spec_mutex_);
    spec_ = other.spec_ ? std::make_unique<OIIO::ImageSpec>(*other.spec_) : nullptr;
  }
  desc_ = other.desc_;
  read_texts_ = other.read_texts_;
  reader_ = other.reader_;
  type_ = other.type_;
  layout_ = other.layout_;
  pixel_bytes_ = other.pixel_bytes_;
  pixels_ = other.pixels_;
  frame = other.frame;
  // A format that writes a copy in its own layout keeps a view of its own
  // over a copy of the file, every block decoded.
  if (other.blocks_ && other.BlockError().empty()) {
    file_bytes_ = other.file_bytes_;
    blocks_ = other.blocks_->Reopen(file_bytes_, *this);
    if (!blocks_) {
      std::vector<std::byte>().swap(file_bytes_);
      return *this;
    }
    const int n = blocks_->count();
    state_ = std::make_unique<std::atomic<unsigned char>[]>(std::size_t(n));
    for (int b = 0; b < n; ++b)
      state_[b].store(other.state_[b].load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  return *this;
}

void FrameBuffer::DropBlocks() {
  blocks_.reset();
  state_.reset();
  block_error_.clear();
}

void FrameBuffer::AttachBlocks(std::unique_ptr<BlockFile> file) {
  const int n = file->count();
  state_ = std::make_unique<std::atomic<unsigned char>[]>(std::size_t(n));
  for (int b = 0; b < n; ++b) state_[b].store(0, std::memory_order_relaxed);
  blocks_ = std::move(file);
  block_error_.clear();
  // Pages never touched again cost nothing: a caption frame decodes a few
  // blocks, so a lazy frame holds little more than its compressed bytes.
  const std::uintptr_t page = std::uintptr_t(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t begin = (std::uintptr_t(pixels_.data()) + page - 1) & ~(page - 1);
  const std::uintptr_t end = (std::uintptr_t(pixels_.data()) + pixels_.size()) & ~(page - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

void FrameBuffer::DecodeBlock(int b) const {
  std::lock_guard lock(decode_mutex_);
  if (state_[b].load(std::memory_order_relaxed) & kDecoded) return;
  std::string error;
  // Decoding writes only this block's pixels, which no reader sees before
  // the flag below is set.
  auto& self = const_cast<FrameBuffer&>(*this);
  if (!blocks_->Decode(b, self, error)) {
    if (block_error_.empty())
      block_error_ = error.empty() ? "cannot decode block " + std::to_string(b) : error;
    // Its pixels read as zeros, not as whatever the memory held.
    const BlockFile& f = *blocks_;
    const int x0 = b % f.blocks_x * f.block_w, y0 = b / f.blocks_x * f.block_h;
    const int x1 = std::min(x0 + f.block_w, width()), y1 = std::min(y0 + f.block_h, height());
    for (int y = y0; y < y1; ++y)
      std::memset(self.row(y) + std::size_t(x0) * pixel_bytes_, 0,
                  std::size_t(x1 - x0) * pixel_bytes_);
  }
  state_[b].fetch_or(kDecoded, std::memory_order_release);
}

int FrameBuffer::MarkChanged(int x, int y) {
  const int b = blocks_->BlockAt(x, y);
  state_[b].fetch_or(kChanged, std::memory_order_relaxed);
  return (x / blocks_->block_w + 1) * blocks_->block_w;
}

bool FrameBuffer::Materialize() const {
  if (!blocks_) return true;
  for (int b = 0; b < blocks_->count(); ++b)
    if (!(state_[b].load(std::memory_order_acquire) & kDecoded)) DecodeBlock(b);
  return BlockError().empty();
}

std::string FrameBuffer::BlockError() const {
  if (!blocks_) return {};
  std::lock_guard lock(decode_mutex_);
  return block_error_;
}

std::vector<char> FrameBuffer::ChangedBlocks() const {
  std::vector<char> changed(blocks_ ? std::size_t(blocks_->count()) : 0);
  for (std::size_t b = 0; b < changed.size(); ++b)
    changed[b] = (state_[b].load(std::memory_order_relaxed) & kChanged) != 0;
  return changed;
}

FrameSpec DescribeImage(const OIIO::ImageSpec& spec) {
  FrameSpec d;
  d.width = spec.width;
  d.height = spec.height;
  d.x = spec.x;
  d.y = spec.y;
  d.full_x = spec.full_x;
  d.full_y = spec.full_y;
  d.full_width = spec.full_width;
  d.full_height = spec.full_height;
  d.tile_width = spec.tile_width;
  d.tile_height = spec.tile_height;
  for (int c = 0; c < spec.nchannels; ++c) {
    d.channel_names.push_back(c < int(spec.channelnames.size()) ? spec.channelnames[c]
                                                                : std::string());
    d.channel_types.push_back(spec.channelformat(c));
  }
  d.alpha_channel = spec.alpha_channel;
  d.compression = spec.get_string_attribute("compression");
  for (const OIIO::ParamValue& p : spec.extra_attribs)
    if (p.type() == OIIO::TypeDesc::STRING) d.texts.emplace_back(std::string(OIIO::string_view(p.name())), p.get_string());
  return d;
}

bool FrameBuffer::Size(const FrameSpec& spec, bool zero) {
  DropBlocks();
  view_ = nullptr;
  const ChannelLayout layout = ChannelLayout::For(spec);
  // Effects see sides as 16-bit values.
  std::string why;
  if (!layout.valid() || !CheckFrameSize(spec.width, spec.height, why)) return false;
  const TypeDesc type = HeldType(spec);
  const std::size_t pixel = SampleBytes(type) * std::size_t(spec.channels());
  const std::size_t total = pixel * std::size_t(spec.width) * std::size_t(spec.height);
  if (pixel == 0 || total / pixel / std::size_t(spec.width) != std::size_t(spec.height))
    return false;
  const std::size_t had = pixels_.size();
  try {
    // resize() keeps the capacity: same-sized frames reuse the memory.
    pixels_.resize(total);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (zero && total > had) std::memset(pixels_.data() + had, 0, total - had);
  type_ = type;
  layout_ = layout;
  pixel_bytes_ = pixel;
  return true;
}

bool FrameBuffer::Reset(const OIIO::ImageSpec& spec) {
  FrameSpec desc = DescribeImage(spec);
  if (!Size(desc, true)) return false;
  std::lock_guard lock(spec_mutex_);
  spec_ = std::make_unique<OIIO::ImageSpec>(spec);
  read_texts_ = desc.texts;
  desc_ = std::move(desc);
  reader_ = nullptr;
  return true;
}

bool FrameBuffer::Reset(const FrameSpec& spec, SpecReader reader, bool unset) {
  if (!Size(spec, !unset)) return false;
  std::lock_guard lock(spec_mutex_);
  spec_.reset();
  desc_ = spec;
  read_texts_ = spec.texts;
  reader_ = reader;
  return true;
}

OIIO::ImageSpec& FrameBuffer::LibrarySpec() const {
  std::lock_guard lock(spec_mutex_);
  if (spec_) return *spec_;
  auto spec = std::make_unique<OIIO::ImageSpec>();
  if (!reader_ || !reader_(*this, *spec)) {
    *spec = OIIO::ImageSpec(desc_.width, desc_.height, desc_.channels(), type_);
    spec->x = desc_.x;
    spec->y = desc_.y;
    spec->full_x = desc_.full_x;
    spec->full_y = desc_.full_y;
    spec->full_width = desc_.full_width;
    spec->full_height = desc_.full_height;
    for (const auto& [name, value] : read_texts_) spec->attribute(name, value);
  }
  // The pixels lie in the host's own channel order.
  spec->channelnames = desc_.channel_names;
  spec->alpha_channel = desc_.alpha_channel;
  // What the blocks were read with, before any change since.
  if (blocks_) blocks_->source_spec = std::make_shared<const OIIO::ImageSpec>(*spec);
  for (const auto& [name, value] : read_texts_)
    if (!desc_.Text(name)) spec->erase_attribute(name);
  for (const auto& [name, value] : desc_.texts) {
    bool same = false;
    for (const auto& [was, before] : read_texts_) same = same || (was == name && before == value);
    if (!same) spec->attribute(name, value);
  }
  spec_ = std::move(spec);
  return *spec_;
}

std::string FrameBuffer::Text(const std::string& name) const {
  std::lock_guard lock(spec_mutex_);
  if (spec_) {
    const OIIO::ParamValue* p = spec_->find_attribute(name);
    return p ? p->get_string() : std::string();
  }
  const std::string* text = desc_.Text(name);
  return text ? *text : std::string();
}

void FrameBuffer::SetText(const std::string& name, const std::string& value) {
  std::lock_guard lock(spec_mutex_);
  desc_.SetText(name, value);
  if (spec_) spec_->attribute(name, value);
}

void FrameBuffer::EraseText(const std::string& name) {
  std::lock_guard lock(spec_mutex_);
  desc_.EraseText(name);
  if (spec_) spec_->erase_attribute(name);
}

bool FrameBuffer::UseLayout(const ChannelLayout& layout) {
  const int n = desc_.channels();
  auto fits = [n](int c) { return c >= -1 && c < n; };
  if (!layout.valid() || !fits(layout.red) || !fits(layout.green) || !fits(layout.blue) ||
      !fits(layout.grey) || !fits(layout.alpha))
    return false;
  if (layout.red >= 0 && (layout.green < 0 || layout.blue < 0)) return false;
  layout_ = layout;
  return true;
}

int FrameStorage::Width() const { return frame_ ? frame_->width() : 0; }
int FrameStorage::Height() const { return frame_ ? frame_->height() : 0; }

int FrameStorage::GetPixels(int x, int y, int count, BMM_Color_64* ptr) const {
  int skip = 0;
  if (!frame_ || !ptr || !ClipRowSpan(Width(), Height(), x, y, count, skip)) return 0;
  BMM_Color_64* out = ptr + skip;
  if (const PixelView* view = frame_->view()) {
    view->Get(*frame_, x, y, count, out);
    return count;
  }
  switch (frame_->type().basetype) {
    case TypeDesc::UINT8: GetRow<std::uint8_t>(*frame_, x, y, count, out); break;
    case TypeDesc::UINT16: GetRow<std::uint16_t>(*frame_, x, y, count, out); break;
    case TypeDesc::HALF: GetRow<half>(*frame_, x, y, count, out); break;
    case TypeDesc::FLOAT: GetRow<float>(*frame_, x, y, count, out); break;
    default: GetRow<double>(*frame_, x, y, count, out); break;
  }
  return count;
}

int FrameStorage::PutPixels(int x, int y, int count, const BMM_Color_64* ptr) {
  int skip = 0;
  if (!frame_ || !ptr || !ClipRowSpan(Width(), Height(), x, y, count, skip)) return 0;
  const BMM_Color_64* in = ptr + skip;
  if (const PixelView* view = frame_->view()) {
    view->Put(*frame_, x, y, count, in);
    return count;
  }
  switch (frame_->type().basetype) {
    case TypeDesc::UINT8: PutRow<std::uint8_t>(*frame_, x, y, count, in); break;
    case TypeDesc::UINT16: PutRow<std::uint16_t>(*frame_, x, y, count, in); break;
    case TypeDesc::HALF: PutRow<half>(*frame_, x, y, count, in); break;
    case TypeDesc::FLOAT: PutRow<float>(*frame_, x, y, count, in); break;
    default: PutRow<double>(*frame_, x, y, count, in); break;
  }
  return count;
}

}  // namespace lumatrice
