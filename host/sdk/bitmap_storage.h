// The host's pixel stores behind a Bitmap: the abstract BitmapStorage and the
// 16-bit RGBA frame buffer the host renders into and hands to effects.
#pragma once

#include <cstddef>
#include <memory>

#include "sdk_bitmap.h"

// Clips the row span [x, x + count) of row y to a width x height image.
// On success x and count describe the part inside the image and skip is the
// number of leading caller pixels that fell left of it; false when nothing of
// the span is inside.
bool ClipRowSpan(int width, int height, int& x, int y, int& count, int& skip);

class BitmapStorage {
 public:
  virtual ~BitmapStorage() = default;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  // Copy pixels of row y from/to ptr, clipped to the image; return the count
  // moved. ptr[0] is pixel x even when x < 0.
  virtual int GetPixels(int x, int y, int count, BMM_Color_64* ptr) const = 0;
  virtual int PutPixels(int x, int y, int count, const BMM_Color_64* ptr) = 0;
};

// Rows packed top to bottom. Resize keeps the memory whenever it is large
// enough, so a frame of the same or a smaller size costs no allocation.
class RGBA16Storage : public BitmapStorage {
 public:
  static constexpr int kMaxSide = 0xFFFF;  // Bitmap reports sides as WORD

  RGBA16Storage() = default;
  RGBA16Storage(int width, int height);  // 0 x 0 when the size cannot be had

  int Width() const override { return width_; }
  int Height() const override { return height_; }
  int GetPixels(int x, int y, int count, BMM_Color_64* ptr) const override;
  int PutPixels(int x, int y, int count, const BMM_Color_64* ptr) override;

  // False (size unchanged) for a negative or oversized side or when memory
  // cannot be had. After a resize the pixels are unspecified; see Fill.
  bool Resize(int width, int height);
  void Fill(BMM_Color_64 color);

  // Row y, width() pixels; null outside the image.
  BMM_Color_64* Row(int y);
  const BMM_Color_64* Row(int y) const;

 private:
  std::unique_ptr<BMM_Color_64[]> pixels_;
  std::size_t capacity_ = 0;
  int width_ = 0;
  int height_ = 0;
};
