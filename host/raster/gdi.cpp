// Device contexts, bitmaps and stock objects of the text-output stand-in, and
// the calls that draw on and read back their surfaces.
//
// Every object lives in a slot of one static table, and a handle encodes slot,
// kind and a generation. A handle is valid only while its slot still carries
// exactly that value, so stale or made-up handles are refused without ever
// touching freed memory, and the lookup on the read path needs no lock.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <strings.h>
#include <utility>

#include "raster_host.h"
#include "surface.h"
#include "win_gdi.h"

namespace textraster {
namespace {

static_assert(sizeof(std::uintptr_t) == 8, "handles carry slot, kind and generation");

enum class Kind : std::uint8_t { kNone, kContext, kBitmap, kBrush, kFont };

constexpr std::uint32_t kSlotBits = 14;
constexpr std::uint32_t kSlots = 1u << kSlotBits;
constexpr std::uintptr_t kSlotMask = kSlots - 1;

// Zero-initialised, so the table costs nothing until slots are used.
struct Fields {
  bool stock = false;
  // Brush.
  COLORREF colour = 0;
  // Bitmap.
  Surface surface;
  struct Object* selected_in = nullptr;
  // Context.
  bool memory = false;
  struct Object* bitmap = nullptr;
  struct Object* font = nullptr;
  struct Object* brush = nullptr;
  int bk_mode = 0;
  COLORREF bk_colour = 0;
  COLORREF text_colour = 0;
  UINT align = 0;
};

struct Object : Fields {
  std::atomic<std::uintptr_t> handle{0};  // 0: free slot
};

constinit Object g_objects[kSlots];

// What GetPixel needs of a context, one small entry per slot so that a pixel
// read is a handful of loads from one cache line. `key` is the context's
// handle while the slot holds a context, else 0; every other slot has an
// empty view, so any handle that is not a live context reads CLR_INVALID.
struct alignas(32) PixelSource {
  std::atomic<std::uintptr_t> key{0};
  SurfaceView view;
};
constinit PixelSource g_pixel_sources[kSlots];

void SetPixelSource(const Object* dc, const SurfaceView& view) {
  g_pixel_sources[dc - g_objects].view = view;
}

// Guards slot allocation, selection and deletion. Drawing and reading do not
// take it: a context is used by one thread at a time.
std::mutex g_mutex;
std::uint32_t g_generation[kSlots];
// FIFO ring of free slots, so a freed slot is reused as late as possible.
std::uint32_t g_free_ring[kSlots];
std::uint32_t g_free_head = 0;
std::uint32_t g_free_count = 0;

std::atomic<int> g_live_contexts{0};
std::atomic<int> g_live_bitmaps{0};
std::atomic<int> g_faults[3];

// Stock objects hold the first slots; the rest are free.
enum StockSlot : std::uint32_t {
  kWhiteBrush = 1, kLtGrayBrush, kGrayBrush, kDkGrayBrush, kBlackBrush,
  kFixedFont, kSystemFont, kDefaultBitmap, kFirstFreeSlot
};
constexpr int kSystemFontIndex = 13;

Kind KindOf(const void* h) {
  return Kind((reinterpret_cast<std::uintptr_t>(h) >> 24) & 0xFF);
}

Object* Resolve(const void* h, Kind kind) noexcept {
  const auto v = reinterpret_cast<std::uintptr_t>(h);
  if (v == 0 || KindOf(h) != kind) return nullptr;
  Object& o = g_objects[v & kSlotMask];
  return o.handle.load(std::memory_order_acquire) == v ? &o : nullptr;
}

template <class H>
H HandleOf(const Object* o) {
  return o ? reinterpret_cast<H>(o->handle.load(std::memory_order_relaxed)) : nullptr;
}

// Caller holds g_mutex. The object is published by Publish once it is set up.
Object* AllocateLocked() {
  if (g_free_count == 0) return nullptr;
  const std::uint32_t slot = g_free_ring[g_free_head];
  g_free_head = (g_free_head + 1) % kSlots;
  --g_free_count;
  return &g_objects[slot];
}

void Publish(Object* o, Kind kind) {
  const std::uint32_t slot = std::uint32_t(o - g_objects);
  const std::uintptr_t h = (std::uintptr_t(++g_generation[slot]) << 32) |
                           (std::uintptr_t(kind) << 24) | slot;
  o->handle.store(h, std::memory_order_release);
}

// Caller holds g_mutex.
void FreeLocked(Object* o) {
  o->handle.store(0, std::memory_order_release);
  PixelSource& source = g_pixel_sources[o - g_objects];
  source.key.store(0, std::memory_order_release);
  source.view = SurfaceView{};
  o->surface.Release();
  static_cast<Fields&>(*o) = Fields{};
  const std::uint32_t slot = std::uint32_t(o - g_objects);
  g_free_ring[(g_free_head + g_free_count) % kSlots] = slot;
  ++g_free_count;
}

void InitStockObjects() {
  std::lock_guard lock(g_mutex);
  const COLORREF greys[] = {0xFFFFFF, 0xC0C0C0, 0x808080, 0x404040, 0x000000};
  for (std::uint32_t i = 0; i < 5; ++i) {
    Object& b = g_objects[kWhiteBrush + i];
    b.stock = true;
    b.colour = greys[i];
    Publish(&b, Kind::kBrush);
  }
  for (std::uint32_t slot : {kFixedFont, kSystemFont}) {
    g_objects[slot].stock = true;
    Publish(&g_objects[slot], Kind::kFont);
  }
  // A memory context starts on this shared 1x1 bitmap; it reads black and
  // ignores drawing, so contexts never write to each other through it.
  Object& bitmap = g_objects[kDefaultBitmap];
  bitmap.stock = true;
  bitmap.surface.Init(1, 1);
  Publish(&bitmap, Kind::kBitmap);
  for (std::uint32_t slot = kFirstFreeSlot; slot < kSlots; ++slot) {
    g_free_ring[g_free_count++] = slot;
  }
}

void EnsureStockObjects() {
  static std::once_flag once;
  std::call_once(once, InitStockObjects);
}

bool ConsumeFault(RasterStep step) {
  std::atomic<int>& f = g_faults[int(step)];
  int n = f.load();
  while (n != 0) {
    if (n < 0) return true;
    if (f.compare_exchange_weak(n, n - 1)) return true;
  }
  return false;
}

HDC CreateContext(bool memory) {
  EnsureStockObjects();
  std::lock_guard lock(g_mutex);
  Object* dc = AllocateLocked();
  if (!dc) return nullptr;
  dc->memory = memory;
  if (memory) {
    dc->bitmap = &g_objects[kDefaultBitmap];
    SetPixelSource(dc, dc->bitmap->surface.View());
  }
  dc->font = &g_objects[kSystemFont];
  dc->brush = &g_objects[kWhiteBrush];
  dc->bk_mode = OPAQUE;
  dc->bk_colour = 0xFFFFFF;
  dc->text_colour = 0;
  dc->align = TA_LEFT | TA_TOP;
  Publish(dc, Kind::kContext);
  g_pixel_sources[dc - g_objects].key.store(dc->handle.load(std::memory_order_relaxed),
                                            std::memory_order_release);
  g_live_contexts.fetch_add(1);
  return HandleOf<HDC>(dc);
}

// The surface a context draws on, or null when drawing cannot land anywhere.
Surface* Target(Object* dc) {
  return dc->bitmap && !dc->bitmap->stock ? &dc->bitmap->surface : nullptr;
}

}  // namespace

void FailRasterStep(RasterStep step, int calls) noexcept {
  g_faults[int(step)].store(calls < 0 ? kAlways : calls);
}

void ClearRasterFaults() noexcept {
  for (auto& f : g_faults) f.store(0);
}

int LiveContexts() noexcept { return g_live_contexts.load(); }
int LiveBitmaps() noexcept { return g_live_bitmaps.load(); }

int CommittedRows(HBITMAP bitmap) noexcept {
  std::lock_guard lock(g_mutex);
  const Object* b = Resolve(bitmap, Kind::kBitmap);
  return b ? b->surface.CommittedRows() : -1;
}

RowPoolStats GetRowPoolStats() noexcept { return RowPool::Stats(); }
void TrimRowPool() noexcept { RowPool::Trim(); }

}  // namespace textraster

using namespace textraster;

extern "C" {

HDC CreateDCA(LPCSTR driver, LPCSTR, LPCSTR, const void*) {
  if (ConsumeFault(RasterStep::kScreenContext)) return nullptr;
  if (!driver || strcasecmp(driver, "DISPLAY") != 0) return nullptr;
  return CreateContext(false);
}

HDC CreateCompatibleDC(HDC hdc) {
  if (ConsumeFault(RasterStep::kMemoryContext)) return nullptr;
  if (hdc && !Resolve(hdc, Kind::kContext)) return nullptr;
  return CreateContext(true);
}

HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy) {
  if (ConsumeFault(RasterStep::kBitmap)) return nullptr;
  if (cx < 0 || cy < 0 || cx > Surface::kMaxSide || cy > Surface::kMaxSide) return nullptr;
  std::lock_guard lock(g_mutex);
  if (!Resolve(hdc, Kind::kContext)) return nullptr;
  Object* b = AllocateLocked();
  if (!b) return nullptr;
  if (!b->surface.Init(cx, cy)) {
    FreeLocked(b);
    return nullptr;
  }
  Publish(b, Kind::kBitmap);
  g_live_bitmaps.fetch_add(1);
  return HandleOf<HBITMAP>(b);
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ obj) {
  std::lock_guard lock(g_mutex);
  Object* dc = Resolve(hdc, Kind::kContext);
  if (!dc) return nullptr;
  const Kind kind = KindOf(obj);
  Object* o = Resolve(obj, kind);
  if (!o) return nullptr;
  Object* previous = nullptr;
  switch (kind) {
    case Kind::kBitmap:
      // Only memory contexts hold bitmaps, and a bitmap sits in one context.
      if (!dc->memory || (o->selected_in && o->selected_in != dc)) return nullptr;
      previous = dc->bitmap;
      if (previous && !previous->stock) previous->selected_in = nullptr;
      if (!o->stock) o->selected_in = dc;
      dc->bitmap = o;
      SetPixelSource(dc, o->surface.View());
      break;
    case Kind::kFont:
      previous = std::exchange(dc->font, o);
      break;
    case Kind::kBrush:
      previous = std::exchange(dc->brush, o);
      break;
    default:
      return nullptr;
  }
  return HandleOf<HGDIOBJ>(previous);
}

HGDIOBJ GetStockObject(int i) {
  EnsureStockObjects();
  switch (i) {
    case 0: case 1: case 2: case DKGRAY_BRUSH: case 4:
      return HandleOf<HGDIOBJ>(&g_objects[kWhiteBrush + i]);
    case ANSI_FIXED_FONT:
      return HandleOf<HGDIOBJ>(&g_objects[kFixedFont]);
    case kSystemFontIndex:
      return HandleOf<HGDIOBJ>(&g_objects[kSystemFont]);
    default:
      return nullptr;
  }
}

int SetBkMode(HDC hdc, int mode) {
  Object* dc = Resolve(hdc, Kind::kContext);
  if (!dc || (mode != OPAQUE && mode != TRANSPARENT)) return 0;
  return std::exchange(dc->bk_mode, mode);
}

COLORREF SetBkColor(HDC hdc, COLORREF color) {
  Object* dc = Resolve(hdc, Kind::kContext);
  return dc ? std::exchange(dc->bk_colour, color) : CLR_INVALID;
}

COLORREF SetTextColor(HDC hdc, COLORREF color) {
  Object* dc = Resolve(hdc, Kind::kContext);
  return dc ? std::exchange(dc->text_colour, color) : CLR_INVALID;
}

UINT SetTextAlign(HDC hdc, UINT align) {
  Object* dc = Resolve(hdc, Kind::kContext);
  return dc ? std::exchange(dc->align, align) : 0xFFFFFFFF;  // GDI_ERROR
}

BOOL TextOutA(HDC hdc, int x, int y, LPCSTR text, int c) {
  Object* dc = Resolve(hdc, Kind::kContext);
  if (!dc || c < 0 || (c > 0 && !text)) return FALSE;
  Surface* s = Target(dc);
  if (!s || c == 0) return TRUE;
  const std::int64_t w = std::int64_t(c) * kCellWidth;
  std::int64_t left = x;
  if ((dc->align & TA_CENTER) == TA_CENTER) {
    left -= w / 2;
  } else if (dc->align & TA_RIGHT) {
    left -= w;
  }
  const std::int64_t top = (dc->align & TA_BOTTOM) ? std::int64_t(y) - kCellHeight : y;
  return s->DrawText(left, top, reinterpret_cast<const unsigned char*>(text), c,
                     dc->text_colour, dc->bk_colour, dc->bk_mode == OPAQUE);
}

int FillRect(HDC hdc, const RECT* rc, HBRUSH brush) {
  Object* dc = Resolve(hdc, Kind::kContext);
  const Object* b = Resolve(brush, Kind::kBrush);
  if (!dc || !b || !rc) return 0;
  Surface* s = Target(dc);
  if (!s) return 1;
  return s->Fill(rc->left, rc->top, rc->right, rc->bottom, b->colour) ? 1 : 0;
}

// The effect's merge calls this once per pixel: no kind decoding, no object
// lookup, just the slot's entry (see PixelSource).
COLORREF GetPixel(HDC hdc, int x, int y) {
  const auto v = reinterpret_cast<std::uintptr_t>(hdc);
  const PixelSource& source = g_pixel_sources[v & kSlotMask];
  if (source.key.load(std::memory_order_acquire) != v) return CLR_INVALID;
  return source.view.Get(x, y);
}

BOOL DeleteObject(HGDIOBJ obj) {
  std::lock_guard lock(g_mutex);
  const Kind kind = KindOf(obj);
  if (kind == Kind::kContext) return FALSE;
  Object* o = Resolve(obj, kind);
  // Stock objects stay; a selected bitmap stays until it is selected out.
  if (!o || o->stock || o->selected_in) return FALSE;
  FreeLocked(o);
  if (kind == Kind::kBitmap) g_live_bitmaps.fetch_sub(1);
  return TRUE;
}

BOOL DeleteDC(HDC hdc) {
  std::lock_guard lock(g_mutex);
  Object* dc = Resolve(hdc, Kind::kContext);
  if (!dc) return FALSE;
  if (dc->bitmap && !dc->bitmap->stock) dc->bitmap->selected_in = nullptr;
  FreeLocked(dc);
  g_live_contexts.fetch_sub(1);
  return TRUE;
}

}  // extern "C"
