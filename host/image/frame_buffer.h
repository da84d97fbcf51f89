// One frame's pixels kept in the file's own layout (channels, sample type,
// metadata), and the BitmapStorage that presents them to effects as 16-bit
// RGBA while writing back only the pixels an effect actually changed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>

#include "bitmap_storage.h"
#include "block_file.h"
#include "frame_size.h"
#include "frame_spec.h"

namespace lumatrice {

class FrameBuffer;

// Rows of a frame as effects see them in another colour space (a display's,
// say): FrameStorage reads and writes through it while a frame has one.
class PixelView {
 public:
  virtual ~PixelView() = default;
  virtual void Get(const FrameBuffer& frame, int x, int y, int count, BMM_Color_64* out) const = 0;
  virtual void Put(FrameBuffer& frame, int x, int y, int count, const BMM_Color_64* in) const = 0;
};

// Where the colour channels of a frame sit among its channels.
struct ChannelLayout {
  int red = -1;    // -1 for a grey image: grey sits in `grey`
  int green = -1;
  int blue = -1;
  int grey = -1;
  int alpha = -1;  // -1 without alpha

  static ChannelLayout For(const FrameSpec& spec);
  bool valid() const { return red >= 0 || grey >= 0; }
};

// The host's own description of what the image library describes (its
// string attributes as texts).
FrameSpec DescribeImage(const OIIO::ImageSpec& spec);

// A frame in memory. The pixel memory is kept between frames: Reserve only
// grows it, so frames of one sequence cost no allocation after the first.
//
// Its description is the host's own (desc()); the image library's (spec())
// is made on first need, so a frame read and written without the library
// never loads it. Once made, spec() holds the attributes.
//
// A lazy frame (AttachBlocks) holds its file's compressed blocks and decodes
// one into the pixel memory only when a row read through FrameStorage needs
// it; data() and row() see every pixel only after Materialize().
class FrameBuffer {
 public:
  FrameBuffer();
  ~FrameBuffer();
  // A copy is whole: a lazy source is decoded in full first.
  FrameBuffer(const FrameBuffer& other);
  FrameBuffer& operator=(const FrameBuffer& other);

  // Sample type the pixels are held in: the file's own, except that mixed
  // per-channel types are held as float (exact for half, 8- and 16-bit).
  static OIIO::TypeDesc HeldType(const FrameSpec& spec);

  // Takes the image description (metadata included) and sizes the pixel
  // memory for it. False when it is unusable (no colour channels, size
  // overflow).
  bool Reset(const OIIO::ImageSpec& spec);
  // Makes the image library's description of the frame, from its file's
  // bytes; false when it cannot.
  using SpecReader = bool (*)(const FrameBuffer& frame, OIIO::ImageSpec& spec);
  // Reset with the host's own description; the image library's is made by
  // `reader` when first asked for (from desc() alone when it fails). With
  // `unset`, for a lazy frame whose blocks' decoding writes every byte of
  // them (zeros where one cannot be decoded), memory it gains is left unset,
  // so pages no block needs are never touched.
  bool Reset(const FrameSpec& spec, SpecReader reader, bool unset = false);

  // Takes `layout` in place of the one Reset found, e.g. one layer's colour
  // channels among several layers. False (nothing changed) when it names a
  // channel the frame lacks or no colour.
  bool UseLayout(const ChannelLayout& layout);

  const FrameSpec& desc() const { return desc_; }
  // The image library's description; made (loading the library) on the
  // first call.
  const OIIO::ImageSpec& spec() const { return LibrarySpec(); }
  OIIO::ImageSpec& spec() { return LibrarySpec(); }
  bool has_spec() const { return spec_ != nullptr; }
  // A header text: from spec() once made, else from desc(); "" when none.
  std::string Text(const std::string& name) const;
  void SetText(const std::string& name, const std::string& value);
  void EraseText(const std::string& name);

  OIIO::TypeDesc type() const { return type_; }
  const ChannelLayout& layout() const { return layout_; }
  int width() const { return desc_.width; }
  int height() const { return desc_.height; }
  int channels() const { return desc_.channels(); }
  std::size_t pixel_bytes() const { return pixel_bytes_; }
  std::size_t row_bytes() const { return pixel_bytes_ * std::size_t(desc_.width); }

  std::byte* data() { return pixels_.data(); }
  const std::byte* data() const { return pixels_.data(); }
  std::byte* row(int y) { return pixels_.data() + row_bytes() * std::size_t(y); }
  const std::byte* row(int y) const { return pixels_.data() + row_bytes() * std::size_t(y); }
  std::size_t capacity() const { return pixels_.capacity(); }

  // Frame number within its sequence; set by whoever fills the buffer.
  int frame = 0;

  // What effects see the pixels through; null (as after Reset or a copy):
  // the held samples as they are.
  void SetView(const PixelView* view) { view_ = view; }
  const PixelView* view() const { return view_; }

  // ---- lazy frames ----
  // Makes the frame lazy over `file` (after Reset with its image
  // description); the pixel memory is given back to the system until blocks
  // are decoded into it.
  void AttachBlocks(std::unique_ptr<BlockFile> file);
  const BlockFile* blocks() const { return blocks_.get(); }
  // Decodes the blocks of row y's pixels [x0, x1) not yet decoded.
  void Need(int y, int x0, int x1) const {
    if (!blocks_) return;
    const int first = blocks_->BlockAt(x0, y), last = blocks_->BlockAt(x1 - 1, y);
    for (int b = first; b <= last; ++b)
      if (!(state_[b].load(std::memory_order_acquire) & kDecoded)) DecodeBlock(b);
  }
  // Records that pixel (x, y) changed; returns the end (exclusive) of its
  // block's columns, so a row loop marks each block once.
  int MarkChanged(int x, int y);
  // Decodes every block not yet decoded; false when one cannot be.
  bool Materialize() const;
  // The first block that failed to decode, as "<reason>"; empty when none.
  std::string BlockError() const;
  // One flag per block: a row write changed it.
  std::vector<char> ChangedBlocks() const;
  // Makes the frame whole again (pixels as they are).
  void DropBlocks();
  // Room for the file's bytes while lazy; kept between frames.
  std::vector<std::byte>& file_bytes() { return file_bytes_; }
  const std::vector<std::byte>& file_bytes() const { return file_bytes_; }

 private:
  static constexpr unsigned char kDecoded = 1, kChanged = 2;
  void DecodeBlock(int b) const;
  bool Size(const FrameSpec& spec, bool zero);
  OIIO::ImageSpec& LibrarySpec() const;

  FrameSpec desc_;
  std::vector<std::pair<std::string, std::string>> read_texts_;  // desc_'s as read
  SpecReader reader_ = nullptr;
  mutable std::unique_ptr<OIIO::ImageSpec> spec_;
  mutable std::mutex spec_mutex_;
  OIIO::TypeDesc type_ = OIIO::TypeDesc::UINT8;
  ChannelLayout layout_;
  std::size_t pixel_bytes_ = 0;
  // Grown without setting its new bytes; Size zeroes them where asked.
  template <typename T>
  struct Unset : std::allocator<T> {
    template <typename U>
    struct rebind {
      using other = Unset<U>;
    };
    Unset() = default;
    template <typename U>
    Unset(const Unset<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
      ::new (static_cast<void*>(p)) U;
    }
  };
  std::vector<std::byte, Unset<std::byte>> pixels_;
  std::unique_ptr<BlockFile> blocks_;
  std::unique_ptr<std::atomic<unsigned char>[]> state_;
  std::vector<std::byte> file_bytes_;
  const PixelView* view_ = nullptr;
  mutable std::mutex decode_mutex_;
  mutable std::string block_error_;  // under decode_mutex_
};

// 16-bit RGBA view of a FrameBuffer for the effects.
//
// Reads convert the held samples: 8-bit v -> v * 257, 16-bit as is, half and
// float clamped to [0, 1] and scaled to 0xFFFF, grey copied to R, G and B, no
// alpha read as 0xFFFF. A write compares each pixel with what a read of it
// gives; an equal pixel keeps its samples untouched (values above 1.0, NaNs
// and every extra channel included), a different one takes the written
// colour in the held type (8-bit takes the high byte, so 0xFF00 is 255).
// Rows are independent: different rows may be used from different threads.
class FrameStorage : public BitmapStorage {
 public:
  explicit FrameStorage(FrameBuffer* frame = nullptr) : frame_(frame) {}
  void Attach(FrameBuffer* frame) { frame_ = frame; }

  int Width() const override;
  int Height() const override;
  int GetPixels(int x, int y, int count, BMM_Color_64* ptr) const override;
  int PutPixels(int x, int y, int count, const BMM_Color_64* ptr) override;

 private:
  FrameBuffer* frame_;
};

}  // namespace lumatrice
