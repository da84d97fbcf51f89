// Surface: the pixel store and the drawing primitives behind the text-output
// stand-in. RowPool: the process-wide cache of row memory surfaces draw into.
//
//   Pixels    one std::uint32_t per pixel, 0x00BBGGRR; the top byte is always 0.
//   Rows      row 0 is the top row. Each row is kept on its own as one word:
//               colour << 8        uniformly that colour, owns no memory
//                                  (0, never drawn, reads black)
//               pointer | 1        `width` pixels taken from the RowPool
//             Pool blocks are 64-byte aligned, so the tag bit is free, and a
//             pixel read tells the two kinds apart with one test.
//             Only partial drawing commits a row's memory; a fill over the whole
//             width makes the row uniform again and hands its memory back.
//   Clipping  drawing takes 64-bit coordinates and clips them to 0 <= x < width,
//             0 <= y < height before a row is touched; text is cut down to its
//             visible cells before any glyph is looked at.
//   Threads   a surface is drawn by one thread at a time and read lock-free;
//             different surfaces are independent; the pool locks itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "raster_host.h"
#include "win_gdi.h"

namespace textraster {

class RowPool {
 public:
  // Memory for a row of `width` pixels, contents undefined; null when out of memory.
  static std::uint32_t* Take(int width) noexcept;
  static void Give(std::uint32_t* row, int width) noexcept;
  static RowPoolStats Stats() noexcept;
  // Frees the cached (unused) rows.
  static void Trim() noexcept;
};

// Read-only window on a surface's rows, kept by the context a bitmap is
// selected into so that a pixel read is one short chain of loads.
struct SurfaceView {
  int width = 0;
  int height = 0;
  const std::uintptr_t* rows = nullptr;

  // CLR_INVALID outside the surface. The hot path of the effect's merge.
  COLORREF Get(int x, int y) const noexcept {
    if (unsigned(x) >= unsigned(width) || unsigned(y) >= unsigned(height)) return CLR_INVALID;
    const std::uintptr_t v = rows[y];
    if (!(v & 1)) return COLORREF(v >> 8);
    return reinterpret_cast<const std::uint32_t*>(v - 1)[x];
  }
};

class Surface {
 public:
  static constexpr int kMaxSide = 1 << 20;

  // Sizes 0..kMaxSide a side; false when out of range or out of memory.
  bool Init(int width, int height) noexcept;
  // Returns every committed row to the pool; the surface becomes 0 x 0.
  void Release() noexcept;

  int width() const noexcept { return width_; }
  int height() const noexcept { return height_; }

  // Stays valid until Release or Init; drawing only changes what it shows.
  SurfaceView View() const noexcept { return {width_, height_, rows_}; }

  // Fills left <= x < right, top <= y < bottom. False only when memory ran out.
  bool Fill(std::int64_t left, std::int64_t top, std::int64_t right, std::int64_t bottom,
            COLORREF colour) noexcept;

  // One line of 8x13 cells with its top-left corner at (left, top). Opaque
  // paints whole cells (glyph pixels `fg`, the rest `bg`); otherwise only
  // glyph pixels. False only when memory ran out.
  bool DrawText(std::int64_t left, std::int64_t top, const unsigned char* text,
                std::int64_t count, COLORREF fg, COLORREF bg, bool opaque) noexcept;

  int CommittedRows() const noexcept;

 private:
  std::uint32_t* Commit(int y) noexcept;
  void SetUniform(int y, COLORREF colour) noexcept;

  int width_ = 0;
  int height_ = 0;
  std::uintptr_t* rows_ = nullptr;
};

}  // namespace textraster
