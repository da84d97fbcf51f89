// Bitmap over a host pixel store, and the host's 16-bit RGBA store.
// The row path touches only the caller's buffer and the row itself, so threads
// working on different rows never share mutable state.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "bitmap_storage.h"

bool ClipRowSpan(int width, int height, int& x, int y, int& count, int& skip) {
  if (width <= 0 || y < 0 || y >= height || count <= 0) return false;
  // 64-bit so that x + count cannot overflow.
  std::int64_t first = x;
  std::int64_t last = first + count;  // exclusive
  std::int64_t lo = std::max<std::int64_t>(first, 0);
  std::int64_t hi = std::min<std::int64_t>(last, width);
  if (lo >= hi) return false;
  skip = static_cast<int>(lo - first);
  x = static_cast<int>(lo);
  count = static_cast<int>(hi - lo);
  return true;
}

RGBA16Storage::RGBA16Storage(int width, int height) { Resize(width, height); }

bool RGBA16Storage::Resize(int width, int height) {
  if (width < 0 || height < 0 || width > kMaxSide || height > kMaxSide) return false;
  std::size_t need = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  if (need > capacity_) {
    // Value-initialised once, so no reader ever sees indeterminate memory.
    BMM_Color_64* fresh = new (std::nothrow) BMM_Color_64[need]();
    if (!fresh) return false;
    pixels_.reset(fresh);
    capacity_ = need;
  }
  width_ = width;
  height_ = height;
  return true;
}

void RGBA16Storage::Fill(BMM_Color_64 color) {
  std::fill_n(pixels_.get(), static_cast<std::size_t>(width_) * height_, color);
}

BMM_Color_64* RGBA16Storage::Row(int y) {
  if (y < 0 || y >= height_ || width_ == 0) return nullptr;
  return pixels_.get() + static_cast<std::size_t>(y) * width_;
}

const BMM_Color_64* RGBA16Storage::Row(int y) const {
  return const_cast<RGBA16Storage*>(this)->Row(y);
}

int RGBA16Storage::GetPixels(int x, int y, int count, BMM_Color_64* ptr) const {
  int skip = 0;
  if (!ptr || !ClipRowSpan(width_, height_, x, y, count, skip)) return 0;
  std::memcpy(ptr + skip, Row(y) + x, sizeof(BMM_Color_64) * count);
  return count;
}

int RGBA16Storage::PutPixels(int x, int y, int count, const BMM_Color_64* ptr) {
  int skip = 0;
  if (!ptr || !ClipRowSpan(width_, height_, x, y, count, skip)) return 0;
  std::memcpy(Row(y) + x, ptr + skip, sizeof(BMM_Color_64) * count);
  return count;
}

Bitmap::Bitmap(BitmapStorage* storage) : storage_(storage) {}
Bitmap::~Bitmap() = default;

WORD Bitmap::Width() {
  if (!storage_) return 0;
  return static_cast<WORD>(std::clamp(storage_->Width(), 0, 0xFFFF));
}

WORD Bitmap::Height() {
  if (!storage_) return 0;
  return static_cast<WORD>(std::clamp(storage_->Height(), 0, 0xFFFF));
}

// Clipped here too, so a foreign store only ever sees in-range requests.
int Bitmap::GetPixels(int x, int y, int pixels, BMM_Color_64* ptr) {
  int skip = 0;
  if (!storage_ || !ptr || !ClipRowSpan(Width(), Height(), x, y, pixels, skip)) return 0;
  return storage_->GetPixels(x, y, pixels, ptr + skip);
}

int Bitmap::PutPixels(int x, int y, int pixels, BMM_Color_64* ptr) {
  int skip = 0;
  if (!storage_ || !ptr || !ClipRowSpan(Width(), Height(), x, y, pixels, skip)) return 0;
  return storage_->PutPixels(x, y, pixels, ptr + skip);
}

BitmapStorage* Bitmap::Storage() { return storage_; }
void Bitmap::SetStorage(BitmapStorage* storage) { storage_ = storage; }
