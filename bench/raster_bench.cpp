// Speed of the text raster's hot paths: per-pixel read-back over a slate-like
// frame, and creating and releasing a UHD raster.
#include <benchmark/benchmark.h>

#include "win_gdi.h"

namespace {

struct Slate {
  HDC screen = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap;
  HGDIOBJ old;
  Slate(int w, int h) : bitmap(CreateCompatibleBitmap(screen, w, h)), old(SelectObject(dc, bitmap)) {
    const RECT all{0, 0, w, h};
    FillRect(dc, &all, GetStockObject(DKGRAY_BRUSH));
    SetBkColor(dc, 0x3C3C3C);
    SetTextColor(dc, 0xFFFFFF);
    SetTextAlign(dc, TA_CENTER | TA_TOP);
    for (int line = 0; line < 8; ++line) TextOutA(dc, w / 2, h / 2 - 80 + 20 * line, " Source File ", 13);
  }
  ~Slate() {
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    DeleteDC(screen);
  }
};

void BM_GetPixelFullHd(benchmark::State& state) {
  Slate s(1920, 1080);
  for (auto _ : state) {
    COLORREF sum = 0;
    for (int y = 0; y < 1080; ++y) {
      for (int x = 0; x < 1920; ++x) sum += GetPixel(s.dc, x, y);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 1920 * 1080);
}
BENCHMARK(BM_GetPixelFullHd)->Unit(benchmark::kMillisecond);

void BM_CreateDeleteUhdRaster(benchmark::State& state) {
  HDC screen = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  for (auto _ : state) {
    HBITMAP b = CreateCompatibleBitmap(screen, 3840, 2160);
    benchmark::DoNotOptimize(b);
    DeleteObject(b);
  }
  DeleteDC(screen);
}
BENCHMARK(BM_CreateDeleteUhdRaster)->Unit(benchmark::kMicrosecond);

void BM_UhdSlateFrame(benchmark::State& state) {
  for (auto _ : state) {
    Slate s(3840, 2160);
    benchmark::DoNotOptimize(GetPixel(s.dc, 1920, 1080));
  }
}
BENCHMARK(BM_UhdSlateFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
