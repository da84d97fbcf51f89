// Slate merge speed: the single-thread merge against the split merge with the
// transfer worker, on full-HD and UHD frames. Wall-clock time, since the split
// spends half its work on another thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>
#include <memory>

#include "../effect/caption_layout.h"
#include "../effect/lumatrice_effect.h"
#include "../effect/raster_transfer.h"
#include "../module/class_desc.h"
#include "../host/sdk/bitmap_storage.h"

namespace {

// A frame and the drawn slate raster of its size, as the apply call has them
// just before the merge.
class SlateScene {
 public:
  SlateScene(int w, int h) : frame_(w, h), bm_(&frame_) {
    frame_.Fill(BMM_Color_64{0x2000, 0x4000, 0x6000, 0xFFFF});
    raster_.screen_dc = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
    raster_.memory_dc = CreateCompatibleDC(raster_.screen_dc);
    raster_.bitmap = CreateCompatibleBitmap(raster_.screen_dc, w, h);
    raster_.previous_bitmap = SelectObject(raster_.memory_dc, raster_.bitmap);
    SetBkMode(raster_.memory_dc, OPAQUE);
    SetBkColor(raster_.memory_dc, RGB(0x3C, 0x3C, 0x3C));
    SetTextColor(raster_.memory_dc, RGB(0xFF, 0xFF, 0xFF));
    SelectObject(raster_.memory_dc, GetStockObject(ANSI_FIXED_FONT));

    CaptionSnapshot snap{};
    snap.pb_display_slate = snap.pb_display_slate_author = snap.pb_display_slate_comments = 1;
    snap.pb_display_slate_filename = snap.pb_display_slate_time_date = 1;
    std::strcpy(snap.pb_slate_author, "Bench Author");
    std::strcpy(snap.pb_slate_comments, "slate merge timing");
    DrawSlate(raster_.memory_dc, snap, w, h);
  }
  ~SlateScene() {
    SelectObject(raster_.memory_dc, raster_.previous_bitmap);
    DeleteObject(raster_.bitmap);
    DeleteDC(raster_.memory_dc);
    DeleteDC(raster_.screen_dc);
  }
  bool ok() const { return raster_.bitmap && frame_.Height() > 0; }
  const TextRaster& raster() const { return raster_; }
  Bitmap* bitmap() { return &bm_; }

 private:
  RGBA16Storage frame_;
  Bitmap bm_;
  TextRaster raster_;
};

void BM_SlateMergeSingleThread(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  SlateScene scene(w, h);
  if (!scene.ok()) {
    state.SkipWithError("no raster or frame");
    return;
  }
  std::unique_ptr<BMM_Color_64[]> buffer;
  for (auto _ : state) {
    TransferRaster(scene.raster(), scene.bitmap(), nullptr, SlateBands(h), buffer);
    buffer.reset();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(w) * h);
}

void BM_SlateMergeSplit(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  SlateScene scene(w, h);
  // The effect object brings the worker up, as in the host.
  auto* effect = static_cast<LumatriceEffect*>(LumatriceClassDesc.Create(FALSE));
  if (!scene.ok() || !effect) {
    state.SkipWithError("no raster, frame or effect");
    if (effect) effect->DeleteThis();
    return;
  }
  for (auto _ : state) effect->SplitTransfer(scene.raster().memory_dc, scene.bitmap());
  state.SetItemsProcessed(state.iterations() * int64_t(w) * h);
  effect->DeleteThis();
}

// On a shared machine the fastest repetition is the least disturbed one.
double Fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

BENCHMARK(BM_SlateMergeSingleThread)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_SlateMergeSplit)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", Fastest);

}  // namespace
