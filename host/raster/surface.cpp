// Lazily committed surfaces and the row pool they draw into.
#include "surface.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "font.h"

namespace textraster {
namespace {

// Blocks are powers of two from 64 bytes up to the widest row (4 MiB).
constexpr int kMinClass = 6;
constexpr int kClasses = 23 - kMinClass;
// Fresh pages are expensive; keep this much freed row memory for the next frame.
constexpr std::size_t kMaxCached = std::size_t(512) << 20;

int ClassOf(int width) {
  const std::size_t bytes = std::max<std::size_t>(std::size_t(width) * 4, 1);
  return std::max(int(std::bit_width(bytes - 1)), kMinClass) - kMinClass;
}

std::size_t ClassBytes(int cls) { return std::size_t(1) << (cls + kMinClass); }

struct PoolState {
  std::mutex mutex;
  std::vector<void*> free[kClasses];
  RowPoolStats stats{};
};

PoolState& Pool() {
  static PoolState* state = new PoolState;  // never destroyed: rows may outlive statics
  return *state;
}

// Row words (see surface.h): committed rows carry the tag bit.
bool Committed(std::uintptr_t v) { return v & 1; }
std::uint32_t* Memory(std::uintptr_t v) { return reinterpret_cast<std::uint32_t*>(v - 1); }
std::uintptr_t Tagged(std::uint32_t* row) { return reinterpret_cast<std::uintptr_t>(row) | 1; }

}  // namespace

std::uint32_t* RowPool::Take(int width) noexcept {
  const int cls = ClassOf(width);
  const std::size_t bytes = ClassBytes(cls);
  PoolState& p = Pool();
  {
    std::lock_guard lock(p.mutex);
    if (!p.free[cls].empty()) {
      void* block = p.free[cls].back();
      p.free[cls].pop_back();
      p.stats.bytes_cached -= bytes;
      p.stats.bytes_in_use += bytes;
      return static_cast<std::uint32_t*>(block);
    }
  }
  void* block = std::aligned_alloc(64, bytes);
  if (!block) return nullptr;
  std::lock_guard lock(p.mutex);
  p.stats.bytes_in_use += bytes;
  ++p.stats.blocks_allocated;
  return static_cast<std::uint32_t*>(block);
}

void RowPool::Give(std::uint32_t* row, int width) noexcept {
  if (!row) return;
  const int cls = ClassOf(width);
  const std::size_t bytes = ClassBytes(cls);
  PoolState& p = Pool();
  {
    std::lock_guard lock(p.mutex);
    p.stats.bytes_in_use -= bytes;
    if (p.stats.bytes_cached + bytes <= kMaxCached) {
      try {
        p.free[cls].push_back(row);
        p.stats.bytes_cached += bytes;
        return;
      } catch (const std::bad_alloc&) {
        // Not cached; freed below.
      }
    }
  }
  std::free(row);
}

RowPoolStats RowPool::Stats() noexcept {
  PoolState& p = Pool();
  std::lock_guard lock(p.mutex);
  return p.stats;
}

void RowPool::Trim() noexcept {
  PoolState& p = Pool();
  std::lock_guard lock(p.mutex);
  for (auto& list : p.free) {
    for (void* block : list) std::free(block);
    list.clear();
    list.shrink_to_fit();
  }
  p.stats.bytes_cached = 0;
}

bool Surface::Init(int width, int height) noexcept {
  if (width < 0 || height < 0 || width > kMaxSide || height > kMaxSide) return false;
  std::uintptr_t* rows = nullptr;
  if (height > 0) {
    // calloc leaves fresh pages untouched, so even a tall surface costs nothing yet.
    rows = static_cast<std::uintptr_t*>(std::calloc(std::size_t(height), sizeof *rows));
    if (!rows) return false;
  }
  Release();
  width_ = width;
  height_ = height;
  rows_ = rows;
  return true;
}

void Surface::Release() noexcept {
  // Reads only: writing would fault in every page of a tall, untouched table.
  for (int y = 0; y < height_; ++y) {
    const std::uintptr_t v = rows_[y];
    if (Committed(v)) RowPool::Give(Memory(v), width_);
  }
  std::free(rows_);
  rows_ = nullptr;
  width_ = height_ = 0;
}

std::uint32_t* Surface::Commit(int y) noexcept {
  const std::uintptr_t v = rows_[y];
  if (Committed(v)) return Memory(v);
  std::uint32_t* row = RowPool::Take(width_);
  if (!row) return nullptr;
  std::fill_n(row, width_, std::uint32_t(v >> 8));
  rows_[y] = Tagged(row);
  return row;
}

void Surface::SetUniform(int y, COLORREF colour) noexcept {
  const std::uintptr_t v = rows_[y];
  if (Committed(v)) RowPool::Give(Memory(v), width_);
  rows_[y] = std::uintptr_t(colour & 0xFFFFFF) << 8;
}

bool Surface::Fill(std::int64_t left, std::int64_t top, std::int64_t right, std::int64_t bottom,
                   COLORREF colour) noexcept {
  const std::int64_t x0 = std::max<std::int64_t>(left, 0);
  const std::int64_t x1 = std::min<std::int64_t>(right, width_);
  const std::int64_t y0 = std::max<std::int64_t>(top, 0);
  const std::int64_t y1 = std::min<std::int64_t>(bottom, height_);
  if (x0 >= x1 || y0 >= y1) return true;
  colour &= 0xFFFFFF;
  bool ok = true;
  for (std::int64_t y = y0; y < y1; ++y) {
    if (x0 == 0 && x1 == width_) {
      SetUniform(int(y), colour);
    } else if (std::uint32_t* row = Commit(int(y))) {
      std::fill(row + x0, row + x1, colour);
    } else {
      ok = false;
    }
  }
  return ok;
}

bool Surface::DrawText(std::int64_t left, std::int64_t top, const unsigned char* text,
                       std::int64_t count, COLORREF fg, COLORREF bg, bool opaque) noexcept {
  if (count <= 0) return true;
  const std::int64_t x0 = std::max<std::int64_t>(left, 0);
  const std::int64_t x1 = std::min<std::int64_t>(left + count * kCellWidth, width_);
  const std::int64_t y0 = std::max<std::int64_t>(top, 0);
  const std::int64_t y1 = std::min<std::int64_t>(top + kCellHeight, height_);
  if (x0 >= x1 || y0 >= y1) return true;
  fg &= 0xFFFFFF;
  bg &= 0xFFFFFF;
  bool ok = true;
  for (std::int64_t y = y0; y < y1; ++y) {
    const int glyph_row = int(y - top);
    std::uint32_t* row = nullptr;  // committed on the first pixel written
    for (std::int64_t x = x0; x < x1; ++x) {
      const std::int64_t offset = x - left;
      const unsigned bits = font::kGlyphs[text[offset / kCellWidth]][glyph_row];
      const bool ink = bits & (0x80u >> (offset % kCellWidth));
      if (!ink && !opaque) continue;
      if (!row && !(row = Commit(int(y)))) {
        ok = false;
        break;
      }
      row[x] = ink ? fg : bg;
    }
  }
  return ok;
}

int Surface::CommittedRows() const noexcept {
  int n = 0;
  for (int y = 0; y < height_; ++y) n += Committed(rows_[y]);
  return n;
}

}  // namespace textraster
