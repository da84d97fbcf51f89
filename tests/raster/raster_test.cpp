// Tests of the software text raster: placement, clipping, glyphs, the lazy
// row memory, object rules, fault injection, message boxes and the clock.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "raster_host.h"
#include "win_gdi.h"

namespace {

using textraster::kCellHeight;
using textraster::kCellWidth;

constexpr COLORREF kBox = 0x3C3C3C;
constexpr COLORREF kInk = 0xFFFFFF;

// A raster created the way the effect creates one, released on scope exit.
struct Raster {
  HDC screen = nullptr;
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old_bitmap = nullptr;
  int w, h;

  Raster(int width, int height) : w(width), h(height) {
    screen = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
    dc = CreateCompatibleDC(screen);
    bitmap = CreateCompatibleBitmap(screen, w, h);
    old_bitmap = SelectObject(dc, bitmap);
    SelectObject(dc, GetStockObject(ANSI_FIXED_FONT));
    SetBkMode(dc, OPAQUE);
    SetBkColor(dc, kBox);
    SetTextColor(dc, kInk);
  }
  ~Raster() {
    SelectObject(dc, old_bitmap);
    DeleteObject(bitmap);
    DeleteDC(dc);
    DeleteDC(screen);
  }
  bool ok() const { return screen && dc && bitmap && old_bitmap; }
};

// Painted area: bounding box (right/bottom exclusive) and count of non-black pixels.
struct Painted {
  int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN, count = 0;
};

Painted Scan(const Raster& r) {
  Painted p;
  for (int y = 0; y < r.h; ++y) {
    for (int x = 0; x < r.w; ++x) {
      if (GetPixel(r.dc, x, y) == 0) continue;
      p.left = std::min(p.left, x);
      p.top = std::min(p.top, y);
      p.right = std::max(p.right, x + 1);
      p.bottom = std::max(p.bottom, y + 1);
      ++p.count;
    }
  }
  return p;
}

void ExpectPainted(const Raster& r, int left, int top, int right, int bottom) {
  const Painted p = Scan(r);
  if (left >= right || top >= bottom) {
    EXPECT_EQ(p.count, 0);
    return;
  }
  EXPECT_EQ(p.left, left);
  EXPECT_EQ(p.top, top);
  EXPECT_EQ(p.right, right);
  EXPECT_EQ(p.bottom, bottom);
  EXPECT_EQ(p.count, (right - left) * (bottom - top)) << "box not painted solid";
}

// The cell of one byte drawn opaque: '#' glyph pixel, '.' background.
std::vector<std::string> Cell(unsigned char byte) {
  Raster r(kCellWidth, kCellHeight);
  const char c = char(byte);
  TextOutA(r.dc, 0, 0, &c, 1);
  std::vector<std::string> rows;
  for (int y = 0; y < kCellHeight; ++y) {
    std::string row;
    for (int x = 0; x < kCellWidth; ++x) {
      const COLORREF px = GetPixel(r.dc, x, y);
      EXPECT_TRUE(px == kInk || px == kBox) << "cell not painted at " << x << "," << y;
      row += px == kInk ? '#' : '.';
    }
    rows.push_back(row);
  }
  return rows;
}

int Ink(const std::vector<std::string>& cell) {
  int n = 0;
  for (const auto& row : cell) n += int(std::count(row.begin(), row.end(), '#'));
  return n;
}

TEST(RasterTextPlacement, AlignmentPaintsExactCells) {
  struct Case { UINT align; int x, y; const char* text; int left, top, right, bottom; };
  const Case cases[] = {
      {TA_LEFT | TA_TOP, 100, 50, "AB", 100, 50, 116, 63},
      {TA_CENTER | TA_TOP, 100, 50, "AB", 92, 50, 108, 63},      // 6
      {TA_LEFT | TA_BOTTOM, 100, 50, "AB", 100, 37, 116, 50},    // 8
      {TA_CENTER | TA_BOTTOM, 100, 50, "AB", 92, 37, 108, 50},   // 14
      {TA_RIGHT | TA_BOTTOM, 100, 50, "AB", 84, 37, 100, 50},    // 10
      {TA_CENTER | TA_TOP, 100, 50, "ABC", 88, 50, 112, 63},
      {TA_RIGHT | TA_TOP, 7, 0, " x ", -17, 0, 7, 13},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("align " + std::to_string(c.align) + " text " + c.text);
    Raster r(200, 100);
    ASSERT_TRUE(r.ok());
    SetTextAlign(r.dc, c.align);
    EXPECT_TRUE(TextOutA(r.dc, c.x, c.y, c.text, int(std::strlen(c.text))));
    ExpectPainted(r, std::max(c.left, 0), c.top, c.right, c.bottom);
  }
}

TEST(RasterTextPlacement, ClipsAtEveryEdgeAndExtremeCoordinates) {
  const std::string long_text(100000, 'W');
  struct Case { int x, y; UINT align; int count; int left, top, right, bottom; };
  const Case cases[] = {
      {-4, 0, TA_LEFT | TA_TOP, 2, 0, 0, 12, 13},
      {60, 0, TA_LEFT | TA_TOP, 2, 60, 0, 64, 13},
      {0, -5, TA_LEFT | TA_TOP, 1, 0, 0, 8, 8},
      {0, 25, TA_LEFT | TA_TOP, 1, 0, 25, 8, 32},
      {0, 5, TA_LEFT | TA_BOTTOM, 1, 0, 0, 8, 5},
      {0, 0, TA_LEFT | TA_BOTTOM, 1, 0, 0, 0, 0},
      {64, 0, TA_LEFT | TA_TOP, 1, 0, 0, 0, 0},
      {0, 32, TA_LEFT | TA_TOP, 1, 0, 0, 0, 0},
      {-799990, 3, TA_LEFT | TA_TOP, 100000, 0, 3, 10, 16},
      {32, 3, TA_CENTER | TA_TOP, 100000, 0, 3, 64, 16},
      {INT_MIN, 0, TA_LEFT | TA_TOP, 100000, 0, 0, 0, 0},
      {INT_MAX, 0, TA_LEFT | TA_TOP, 100000, 0, 0, 0, 0},
      {INT_MIN, 0, TA_RIGHT | TA_BOTTOM, 100000, 0, 0, 0, 0},
      {INT_MAX, 0, TA_RIGHT | TA_TOP, 100000, 0, 0, 0, 0},
      {INT_MAX, INT_MAX, TA_CENTER | TA_BOTTOM, 100000, 0, 0, 0, 0},
      {0, INT_MIN, TA_CENTER | TA_BOTTOM, 100000, 0, 0, 0, 0},
      {0, INT_MAX, TA_LEFT | TA_TOP, 100000, 0, 0, 0, 0},
      {0, 0, TA_LEFT | TA_TOP, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("at " + std::to_string(c.x) + "," + std::to_string(c.y) + " align " +
                 std::to_string(c.align) + " count " + std::to_string(c.count));
    Raster r(64, 32);
    ASSERT_TRUE(r.ok());
    SetTextAlign(r.dc, c.align);
    EXPECT_TRUE(TextOutA(r.dc, c.x, c.y, long_text.data(), c.count));
    ExpectPainted(r, c.left, c.top, c.right, c.bottom);
  }
}

TEST(RasterTextPlacement, RejectsNegativeCountAndNullText) {
  Raster r(64, 32);
  EXPECT_FALSE(TextOutA(r.dc, 0, 0, "abc", -1));
  EXPECT_FALSE(TextOutA(r.dc, 0, 0, nullptr, 3));
  EXPECT_EQ(Scan(r).count, 0);
}

TEST(RasterFillRect, FillsHalfOpenRectangleClipped) {
  struct Case { RECT rc; int left, top, right, bottom; };
  const Case cases[] = {
      {{2, 1, 5, 4}, 2, 1, 5, 4},
      {{0, 0, 16, 8}, 0, 0, 16, 8},
      {{15, 7, 16, 8}, 15, 7, 16, 8},
      {{-10, -10, 100, 100}, 0, 0, 16, 8},
      {{INT_MIN, INT_MIN, INT_MAX, INT_MAX}, 0, 0, 16, 8},
      {{-3, 2, 1, 3}, 0, 2, 1, 3},
      {{5, 4, 2, 1}, 0, 0, 0, 0},
      {{3, 3, 3, 6}, 0, 0, 0, 0},
      {{3, 3, 6, 3}, 0, 0, 0, 0},
      {{16, 0, 20, 8}, 0, 0, 0, 0},
      {{0, 8, 16, 9}, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("rect " + std::to_string(c.rc.left) + "," + std::to_string(c.rc.top) + "," +
                 std::to_string(c.rc.right) + "," + std::to_string(c.rc.bottom));
    Raster r(16, 8);
    ASSERT_TRUE(r.ok());
    EXPECT_NE(FillRect(r.dc, &c.rc, GetStockObject(DKGRAY_BRUSH)), 0);
    ExpectPainted(r, c.left, c.top, c.right, c.bottom);
    if (c.left < c.right) {
      EXPECT_EQ(GetPixel(r.dc, c.left, c.top), 0x404040u);
    }
  }
}

TEST(RasterFillRect, RefusesBadArguments) {
  Raster r(16, 8);
  const RECT rc{0, 0, 16, 8};
  EXPECT_EQ(FillRect(r.dc, nullptr, GetStockObject(DKGRAY_BRUSH)), 0);
  EXPECT_EQ(FillRect(r.dc, &rc, GetStockObject(ANSI_FIXED_FONT)), 0);
  EXPECT_EQ(FillRect(r.dc, &rc, r.bitmap), 0);
  EXPECT_EQ(Scan(r).count, 0);
}

TEST(RasterTextCells, OpaquePaintsWholeCellsTransparentOnlyGlyphs) {
  const char text[] = " Hi! ";
  const int n = 5;
  Raster opaque(64, 16);
  TextOutA(opaque.dc, 0, 0, text, n);
  int ink = 0;
  for (int y = 0; y < kCellHeight; ++y) {
    for (int x = 0; x < n * kCellWidth; ++x) {
      const COLORREF px = GetPixel(opaque.dc, x, y);
      ASSERT_TRUE(px == kBox || px == kInk) << x << "," << y;
      ink += px == kInk;
    }
  }
  EXPECT_GT(ink, 0);
  ExpectPainted(opaque, 0, 0, n * kCellWidth, kCellHeight);

  // Transparent text over a filled raster: the same glyph pixels, the fill kept elsewhere.
  Raster clear(64, 16);
  const RECT all{0, 0, 64, 16};
  FillRect(clear.dc, &all, GetStockObject(DKGRAY_BRUSH));
  EXPECT_EQ(SetBkMode(clear.dc, TRANSPARENT), OPAQUE);
  TextOutA(clear.dc, 0, 0, text, n);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 64; ++x) {
      const bool glyph = GetPixel(opaque.dc, x, y) == kInk;
      ASSERT_EQ(GetPixel(clear.dc, x, y), glyph ? kInk : 0x404040u) << x << "," << y;
    }
  }
}

TEST(RasterGlyphs, Shapes) {
  EXPECT_EQ(Ink(Cell(' ')), 0);
  EXPECT_EQ(Ink(Cell(0xA0)), 0);  // no-break space

  // 'I' has a vertical stroke of at least 7 rows in one column.
  const auto i = Cell('I');
  int longest = 0;
  for (int x = 0; x < kCellWidth; ++x) {
    int run = 0;
    for (int y = 0; y < kCellHeight; ++y) {
      run = i[y][x] == '#' ? run + 1 : 0;
      longest = std::max(longest, run);
    }
  }
  EXPECT_GE(longest, 7);

  // '.' sits in the lower half only; '_' on one row only.
  const auto dot = Cell('.');
  EXPECT_GT(Ink(dot), 0);
  for (int y = 0; y < kCellHeight / 2; ++y) EXPECT_EQ(dot[y], "........");
  const auto low = Cell('_');
  int rows_with_ink = 0;
  for (const auto& row : low) rows_with_ink += row != "........";
  EXPECT_EQ(rows_with_ink, 1);
}

TEST(RasterGlyphs, Windows1252Mapping) {
  struct Case { unsigned char a, b; bool same; };
  const Case cases[] = {
      {0xE9, 'e', false},   // e-acute is not e
      {0xE9, 0xC9, false},  // nor its capital
      {0x80, 0x81, false},  // the euro sign has a glyph
      {0x99, 0x81, false},  // trade mark
      {0x9F, 'Y', false},   // Y diaeresis
      {0x81, 0x8D, true},   // undefined bytes share the replacement cell
      {0x81, 0x8F, true},
      {0x81, 0x90, true},
      {0x81, 0x9D, true},
      {0x01, 0x81, true},   // controls draw it too
      {0x7F, 0x81, true},
      {0x00, 0x81, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.a) + " vs " + std::to_string(c.b));
    const auto a = Cell(c.a);
    EXPECT_GT(Ink(a), 0) << "byte draws nothing";
    EXPECT_EQ(a == Cell(c.b), c.same);
  }
}

TEST(RasterLazyMemory, UhdRasterCommitsOnlyPartiallyDrawnRows) {
  Raster r(3840, 2160);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(textraster::CommittedRows(r.bitmap), 0);
  EXPECT_EQ(GetPixel(r.dc, 3839, 2159), 0u);

  const RECT all{0, 0, 3840, 2160};
  FillRect(r.dc, &all, GetStockObject(DKGRAY_BRUSH));
  EXPECT_EQ(textraster::CommittedRows(r.bitmap), 0);
  EXPECT_EQ(GetPixel(r.dc, 0, 0), 0x404040u);
  EXPECT_EQ(GetPixel(r.dc, 3839, 2159), 0x404040u);

  SetTextAlign(r.dc, TA_CENTER | TA_TOP);
  TextOutA(r.dc, 1920, 970, " Author ", 8);
  EXPECT_EQ(textraster::CommittedRows(r.bitmap), kCellHeight);
  EXPECT_EQ(GetPixel(r.dc, 1920 - 32, 970), kBox);
  EXPECT_EQ(GetPixel(r.dc, 1920 - 33, 970), 0x404040u);

  const RECT part{10, 100, 20, 110};
  FillRect(r.dc, &part, GetStockObject(0));
  EXPECT_EQ(textraster::CommittedRows(r.bitmap), kCellHeight + 10);
  EXPECT_EQ(GetPixel(r.dc, 10, 100), 0xFFFFFFu);
  EXPECT_EQ(GetPixel(r.dc, 20, 100), 0x404040u);

  // A full-width fill hands committed rows back.
  const RECT band{0, 960, 3840, 1000};
  FillRect(r.dc, &band, GetStockObject(DKGRAY_BRUSH));
  EXPECT_EQ(textraster::CommittedRows(r.bitmap), 10);
}

TEST(RasterLazyMemory, RowMemoryIsReusedByTheNextRaster) {
  auto frame = [] {
    Raster r(1920, 1080);
    const RECT all{0, 0, 1920, 1080};
    FillRect(r.dc, &all, GetStockObject(DKGRAY_BRUSH));
    SetTextAlign(r.dc, TA_CENTER | TA_TOP);
    for (int line = 0; line < 8; ++line) TextOutA(r.dc, 960, 400 + 20 * line, " line ", 6);
  };
  const auto before = textraster::GetRowPoolStats();
  frame();
  const auto warm = textraster::GetRowPoolStats();
  EXPECT_EQ(warm.bytes_in_use, before.bytes_in_use);
  EXPECT_GT(warm.bytes_cached, 0u);
  for (int i = 0; i < 3; ++i) frame();
  const auto after = textraster::GetRowPoolStats();
  EXPECT_EQ(after.blocks_allocated, warm.blocks_allocated);
  EXPECT_EQ(after.bytes_in_use, before.bytes_in_use);
  textraster::TrimRowPool();
  EXPECT_EQ(textraster::GetRowPoolStats().bytes_cached, 0u);
}

TEST(RasterObjects, BitmapSizes) {
  struct Case { int w, h; bool valid; };
  const Case cases[] = {
      {1, 1, true},     {0, 0, true},        {0, 5, true},        {5, 0, true},
      {-1, 5, false},   {5, -1, false},      {INT_MIN, 1, false}, {1 << 20, 1, true},
      {1, 1 << 20, true}, {(1 << 20) + 1, 1, false}, {1, (1 << 20) + 1, false},
      {INT_MAX, INT_MAX, false},
  };
  HDC screen = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  const int live = textraster::LiveBitmaps();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    HBITMAP b = CreateCompatibleBitmap(screen, c.w, c.h);
    EXPECT_EQ(b != nullptr, c.valid);
    if (b) {
      EXPECT_EQ(textraster::CommittedRows(b), 0);
    }
    EXPECT_EQ(DeleteObject(b), c.valid ? TRUE : FALSE);
  }
  EXPECT_EQ(textraster::LiveBitmaps(), live);
  EXPECT_EQ(CreateCompatibleBitmap(nullptr, 4, 4), nullptr);
  DeleteDC(screen);
}

TEST(RasterObjects, ScreenContextDrivers) {
  struct Case { const char* driver; bool valid; };
  const Case cases[] = {{"DISPLAY", true}, {"display", true}, {"PRINTER", false}, {"", false},
                        {nullptr, false}};
  for (const Case& c : cases) {
    HDC dc = CreateDCA(c.driver, nullptr, nullptr, nullptr);
    EXPECT_EQ(dc != nullptr, c.valid) << (c.driver ? c.driver : "null");
    if (dc) {
      EXPECT_TRUE(DeleteDC(dc));
    }
  }
}

TEST(RasterObjects, SelectReturnsPreviousOfSameKind) {
  HDC screen = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 4, 4);
  HGDIOBJ fixed = GetStockObject(ANSI_FIXED_FONT);

  HGDIOBJ default_bitmap = SelectObject(dc, bitmap);
  ASSERT_NE(default_bitmap, nullptr);
  EXPECT_NE(default_bitmap, bitmap);
  HGDIOBJ system_font = SelectObject(dc, fixed);
  ASSERT_NE(system_font, nullptr);
  EXPECT_NE(system_font, fixed);
  EXPECT_EQ(SelectObject(dc, fixed), fixed);
  EXPECT_EQ(SelectObject(dc, bitmap), bitmap);

  // Selected: not deleted, still drawable.
  EXPECT_FALSE(DeleteObject(bitmap));
  const RECT rc{0, 0, 4, 4};
  FillRect(dc, &rc, GetStockObject(DKGRAY_BRUSH));
  EXPECT_EQ(GetPixel(dc, 3, 3), 0x404040u);

  // A bitmap sits in one memory context only, never in a screen context.
  HDC other = CreateCompatibleDC(screen);
  EXPECT_EQ(SelectObject(other, bitmap), nullptr);
  EXPECT_EQ(SelectObject(screen, bitmap), nullptr);

  EXPECT_EQ(SelectObject(dc, default_bitmap), bitmap);
  EXPECT_EQ(GetPixel(dc, 0, 0), 0u);  // the default 1x1 bitmap
  EXPECT_EQ(GetPixel(dc, 1, 0), CLR_INVALID);
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_FALSE(DeleteObject(bitmap));
  EXPECT_EQ(SelectObject(dc, bitmap), nullptr);  // stale handle
  EXPECT_TRUE(DeleteDC(other));
  EXPECT_TRUE(DeleteDC(dc));
  EXPECT_TRUE(DeleteDC(screen));
}

TEST(RasterObjects, DeletingContextReleasesItsBitmap) {
  const int contexts = textraster::LiveContexts(), bitmaps = textraster::LiveBitmaps();
  HDC screen = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 8, 8);
  SelectObject(dc, bitmap);
  EXPECT_EQ(textraster::LiveContexts(), contexts + 2);
  EXPECT_EQ(textraster::LiveBitmaps(), bitmaps + 1);
  EXPECT_TRUE(DeleteDC(dc));
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_TRUE(DeleteDC(screen));
  EXPECT_EQ(textraster::LiveContexts(), contexts);
  EXPECT_EQ(textraster::LiveBitmaps(), bitmaps);
}

TEST(RasterObjects, BadAndStockHandlesAreRefused) {
  Raster r(8, 8);
  HDC dead = CreateCompatibleDC(nullptr);
  ASSERT_NE(dead, nullptr);
  DeleteDC(dead);
  const HGDIOBJ junk[] = {reinterpret_cast<HGDIOBJ>(0x1),
                          reinterpret_cast<HGDIOBJ>(0xDEADBEEF),
                          reinterpret_cast<HGDIOBJ>(~std::uintptr_t(0)),
                          reinterpret_cast<HGDIOBJ>(dead)};
  for (HGDIOBJ h : junk) {
    SCOPED_TRACE(reinterpret_cast<std::uintptr_t>(h));
    HDC as_dc = reinterpret_cast<HDC>(h);
    EXPECT_EQ(SelectObject(r.dc, h), nullptr);
    EXPECT_EQ(SelectObject(as_dc, r.bitmap), nullptr);
    EXPECT_FALSE(DeleteObject(h));
    EXPECT_FALSE(DeleteDC(as_dc));
    EXPECT_EQ(GetPixel(as_dc, 0, 0), CLR_INVALID);
    EXPECT_FALSE(TextOutA(as_dc, 0, 0, "x", 1));
    EXPECT_EQ(SetBkMode(as_dc, OPAQUE), 0);
    EXPECT_EQ(SetTextColor(as_dc, 0), CLR_INVALID);
    EXPECT_EQ(CreateCompatibleDC(as_dc), nullptr);
    EXPECT_EQ(CreateCompatibleBitmap(as_dc, 4, 4), nullptr);
  }
  EXPECT_EQ(GetStockObject(999), nullptr);
  EXPECT_FALSE(DeleteObject(GetStockObject(DKGRAY_BRUSH)));
  EXPECT_FALSE(DeleteObject(GetStockObject(ANSI_FIXED_FONT)));
  EXPECT_FALSE(DeleteObject(reinterpret_cast<HGDIOBJ>(r.dc)));
  const RECT rc{0, 0, 8, 8};
  EXPECT_NE(FillRect(r.dc, &rc, GetStockObject(DKGRAY_BRUSH)), 0);
  EXPECT_EQ(GetPixel(r.dc, 7, 7), 0x404040u);
}

TEST(RasterObjects, StateSettersReturnPrevious) {
  Raster r(8, 8);  // already set to OPAQUE, kBox, kInk
  EXPECT_EQ(SetBkMode(r.dc, TRANSPARENT), OPAQUE);
  EXPECT_EQ(SetBkMode(r.dc, 7), 0);
  EXPECT_EQ(SetBkMode(r.dc, OPAQUE), TRANSPARENT);
  EXPECT_EQ(SetBkColor(r.dc, 0x123456), kBox);
  EXPECT_EQ(SetBkColor(r.dc, kBox), 0x123456u);
  EXPECT_EQ(SetTextColor(r.dc, 0x654321), kInk);
  EXPECT_EQ(SetTextColor(r.dc, kInk), 0x654321u);
  EXPECT_EQ(SetTextAlign(r.dc, 14), TA_LEFT | TA_TOP);
  EXPECT_EQ(SetTextAlign(r.dc, 10), 14u);

  HDC fresh = CreateCompatibleDC(nullptr);
  EXPECT_EQ(SetBkMode(fresh, TRANSPARENT), OPAQUE);
  EXPECT_EQ(SetBkColor(fresh, 0), 0xFFFFFFu);
  EXPECT_EQ(SetTextColor(fresh, 0), 0u);
  DeleteDC(fresh);
}

TEST(RasterObjects, GetPixelOutsideTheRaster) {
  Raster r(10, 5);
  struct Case { int x, y; COLORREF expected; };
  const Case cases[] = {
      {0, 0, 0}, {9, 4, 0}, {-1, 0, CLR_INVALID}, {10, 0, CLR_INVALID}, {0, -1, CLR_INVALID},
      {0, 5, CLR_INVALID}, {INT_MIN, INT_MIN, CLR_INVALID}, {INT_MAX, INT_MAX, CLR_INVALID},
      {INT_MIN, 0, CLR_INVALID}, {0, INT_MAX, CLR_INVALID},
  };
  for (const Case& c : cases) EXPECT_EQ(GetPixel(r.dc, c.x, c.y), c.expected) << c.x << "," << c.y;

  EXPECT_EQ(GetPixel(r.screen, 0, 0), CLR_INVALID);  // no bitmap
  Raster empty(0, 0);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(GetPixel(empty.dc, 0, 0), CLR_INVALID);
  EXPECT_TRUE(TextOutA(empty.dc, 0, 0, "abc", 3));
  Raster flat(0, 5);
  EXPECT_EQ(GetPixel(flat.dc, 0, 2), CLR_INVALID);
}

// The effect's three creation steps; returns the 1-based step that failed, 0 when none did.
int CreateRaster() {
  HDC screen = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  if (!screen) return 1;
  HDC dc = CreateCompatibleDC(screen);
  if (!dc) {
    DeleteDC(screen);
    return 2;
  }
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 64, 64);
  DeleteDC(dc);
  DeleteDC(screen);
  if (!bitmap) return 3;
  DeleteObject(bitmap);
  return 0;
}

TEST(RasterFaultInjection, EachStepFailsOnDemand) {
  using textraster::RasterStep;
  struct Case { RasterStep step; int calls; int failing; };
  const Case cases[] = {
      {RasterStep::kScreenContext, 1, 1}, {RasterStep::kMemoryContext, 1, 2},
      {RasterStep::kBitmap, 1, 3},        {RasterStep::kScreenContext, 3, 1},
      {RasterStep::kMemoryContext, 2, 2}, {RasterStep::kBitmap, 4, 3},
  };
  const int contexts = textraster::LiveContexts(), bitmaps = textraster::LiveBitmaps();
  for (const Case& c : cases) {
    SCOPED_TRACE("step " + std::to_string(c.failing) + " calls " + std::to_string(c.calls));
    textraster::FailRasterStep(c.step, c.calls);
    for (int i = 0; i < c.calls; ++i) EXPECT_EQ(CreateRaster(), c.failing);
    EXPECT_EQ(CreateRaster(), 0);

    textraster::FailRasterStep(c.step);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(CreateRaster(), c.failing);
    textraster::ClearRasterFaults();
    EXPECT_EQ(CreateRaster(), 0);
  }
  EXPECT_EQ(textraster::LiveContexts(), contexts);
  EXPECT_EQ(textraster::LiveBitmaps(), bitmaps);
}

TEST(RasterMessageBox, HandlerSeesEveryBox) {
  struct Seen { std::string text, caption; UINT type; };
  std::vector<Seen> seen;
  textraster::ResetMessageBoxCount();
  ASSERT_TRUE(textraster::SetMessageBoxHandler([&](const char* text, const char* caption, UINT type) {
    seen.push_back({text, caption, type});
    return 7;
  }));
  EXPECT_EQ(MessageBoxA(nullptr, "Unable to create memory device context.", "Lumatrice", MB_OK), 7);
  EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, 3), 7);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].text, "Unable to create memory device context.");
  EXPECT_EQ(seen[0].caption, "Lumatrice");
  EXPECT_EQ(seen[0].type, MB_OK);
  EXPECT_EQ(seen[1].text, "");
  EXPECT_EQ(seen[1].type, 3u);
  EXPECT_EQ(textraster::MessageBoxCount(), 2);

  // A throwing handler is a box that failed, not an escaping exception.
  textraster::SetMessageBoxHandler([](const char*, const char*, UINT) -> int { throw 1; });
  EXPECT_EQ(MessageBoxA(nullptr, "x", "y", MB_OK), 0);

  textraster::SetMessageBoxHandler(nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "Unable to create compatible bitmap.", "Lumatrice", MB_OK), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Lumatrice: Unable to create compatible bitmap.\n");
  EXPECT_EQ(textraster::MessageBoxCount(), 4);
}

TEST(RasterClock, PinnedTimeIsReturnedUntilUnpinned) {
  const SYSTEMTIME pinned{2002, 3, 4, 7, 9, 5, 3, 250};
  textraster::PinLocalTime(pinned);
  SYSTEMTIME st{};
  GetLocalTime(&st);
  EXPECT_EQ(std::memcmp(&st, &pinned, sizeof st), 0);
  GetLocalTime(nullptr);

  // Readers on other threads see the pinned value too.
  std::vector<std::thread> readers;
  std::vector<SYSTEMTIME> got(4);
  for (auto& g : got) readers.emplace_back([&g] { GetLocalTime(&g); });
  for (auto& t : readers) t.join();
  for (const auto& g : got) EXPECT_EQ(std::memcmp(&g, &pinned, sizeof g), 0);

  textraster::UnpinLocalTime();
  GetLocalTime(&st);
  EXPECT_NE(st.wYear, 2002);
  EXPECT_GE(st.wMonth, 1);
  EXPECT_LE(st.wMonth, 12);
  EXPECT_GE(st.wDay, 1);
  EXPECT_LE(st.wDay, 31);
  EXPECT_LE(st.wHour, 23);
  EXPECT_LE(st.wMilliseconds, 999);
}

TEST(RasterCommonControls, CountsCalls) {
  const int before = textraster::InitCommonControlsCount();
  InitCommonControls();
  InitCommonControls();
  EXPECT_EQ(textraster::InitCommonControlsCount(), before + 2);
}

TEST(RasterThreads, RastersOnSeveralThreadsStayApart) {
  const int contexts = textraster::LiveContexts(), bitmaps = textraster::LiveBitmaps();
  std::vector<std::thread> threads;
  std::vector<int> faults(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &faults] {
      const COLORREF colour = RGB(BYTE(40 + t), 1, 2);
      for (int frame = 0; frame < 25; ++frame) {
        Raster r(320, 200);
        if (!r.ok()) {
          ++faults[t];
          continue;
        }
        const RECT all{0, 0, 320, 200};
        FillRect(r.dc, &all, GetStockObject(DKGRAY_BRUSH));
        SetBkColor(r.dc, colour);
        SetTextAlign(r.dc, TA_CENTER | TA_TOP);
        TextOutA(r.dc, 160, 10 * t, " thread ", 8);
        for (int y = 0; y < 200; ++y) {
          const bool in_line = y >= 10 * t && y < 10 * t + kCellHeight;
          const COLORREF left = GetPixel(r.dc, 128, y), outside = GetPixel(r.dc, 127, y);
          if (outside != 0x404040u || left != (in_line ? colour : 0x404040u)) ++faults[t];
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(faults[t], 0) << "thread " << t;
  EXPECT_EQ(textraster::LiveContexts(), contexts);
  EXPECT_EQ(textraster::LiveBitmaps(), bitmaps);
}

}  // namespace
