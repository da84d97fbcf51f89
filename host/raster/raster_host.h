// Host-side controls of the text-raster stand-in (libtextraster.so): message
// box handling, fault injection for the three raster-creation steps, leak
// counters, row-memory statistics, the host clock and the font cell size.
// Used by the host and by tests; the effect sees only platform/win_gdi.h.
#pragma once

#include <cstddef>
#include <functional>

#include "win_types.h"

namespace textraster {

// Every character cell of the fixed-pitch font.
inline constexpr int kCellWidth = 8;
inline constexpr int kCellHeight = 13;

// Message boxes. The handler gets text, caption and type and returns the box's
// result; it runs on the caller's thread. An empty handler restores the
// default, which prints "<caption>: <text>" on stderr and returns 1 at once.
using MessageBoxHandler = std::function<int(const char* text, const char* caption, UINT type)>;
// False (handler unchanged) only when memory runs out.
bool SetMessageBoxHandler(MessageBoxHandler handler) noexcept;
int MessageBoxCount() noexcept;
void ResetMessageBoxCount() noexcept;

// Fault injection: the chosen creation call returns null, for the next `calls`
// calls or, with kAlways, until cleared.
enum class RasterStep { kScreenContext, kMemoryContext, kBitmap };
inline constexpr int kAlways = -1;
void FailRasterStep(RasterStep step, int calls = kAlways) noexcept;
void ClearRasterFaults() noexcept;

// Live objects created through CreateDCA/CreateCompatibleDC and
// CreateCompatibleBitmap and not yet deleted (stock objects excluded).
int LiveContexts() noexcept;
int LiveBitmaps() noexcept;

// Rows of a bitmap that hold memory of their own; -1 for a bad handle.
int CommittedRows(HBITMAP bitmap) noexcept;

struct RowPoolStats {
  std::size_t bytes_in_use = 0;      // rows of live bitmaps
  std::size_t bytes_cached = 0;      // freed rows kept for reuse
  std::size_t blocks_allocated = 0;  // blocks ever taken from the system
};
RowPoolStats GetRowPoolStats() noexcept;
// Frees the cached rows.
void TrimRowPool() noexcept;

// The clock behind GetLocalTime: live local time unless pinned.
void PinLocalTime(const SYSTEMTIME& time) noexcept;
void UnpinLocalTime() noexcept;
// Where the live time comes from; null restores the system clock. For tests
// that must see the clock move without waiting for it.
using LiveClock = SYSTEMTIME (*)();
void SetLiveClock(LiveClock clock) noexcept;

int InitCommonControlsCount() noexcept;

}  // namespace textraster
