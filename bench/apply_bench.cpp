// What the effect adds to a frame: the whole apply call (raster included) on
// in-memory frames, caption frames and slate frames, each beside a reference
// read-modify-write pass over the same frame measured in this binary. The
// counter `x_memory_pass` is apply time over that pass: machine-independent.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>

#include "../effect/lumatrice_effect.h"
#include "../effect/param_ids.h"
#include "../host/raster/raster_host.h"
#include "../host/sdk/bitmap_storage.h"
#include "../host/sdk/host_api.h"

namespace {

class NullAbort : public CheckAbortCallback {
 public:
  BOOL Check() override { return FALSE; }
  BOOL Progress(int, int) override { return TRUE; }
  void SetTitle(const char*) override {}
};

// One read and one write of every pixel, as a plain per-pixel loop.
double MemoryPassSeconds(RGBA16Storage& frame) {
  auto start = std::chrono::steady_clock::now();
  for (int y = 0; y < frame.Height(); ++y) {
    BMM_Color_64* row = frame.Row(y);
    for (int x = 0; x < frame.Width(); ++x) {
      row[x].r = WORD(row[x].r ^ 1);
      row[x].a = 0xFFFF;
    }
  }
  benchmark::ClobberMemory();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

enum class Layout { kCaptions, kSlateSingle, kSlateSplit };

void BM_Apply(benchmark::State& state, Layout layout) {
  const int w = int(state.range(0)), h = int(state.range(1));
  textraster::SetMessageBoxHandler([](const char*, const char*, UINT) { return 1; });
  textraster::PinLocalTime(SYSTEMTIME{2026, 12, 1, 7, 21, 30, 0, 0});
  hostsdk::SetSceneFilePath("/shows/bench/shot_010.lum");

  RGBA16Storage frame(w, h);
  frame.Fill(BMM_Color_64{0x2000, 0x4000, 0x6000, 0xFFFF});
  Bitmap bm(&frame);
  NullAbort abort;
  auto* fx = new LumatriceEffect;
  IParamBlock2* pb = fx->pblock;
  for (short id : {pb_display_filename, pb_display_date}) pb->SetValue(id, 0, 1);
  pb->SetValue(pb_comments, 0, "Lumatrice benchmark: header comments");
  pb->SetValue(pb_slate_author, 0, "Bench Author");
  pb->SetValue(pb_slate_comments, 0, "all slate blocks on");
  pb->SetValue(pb_use_multithreading, 0, layout == Layout::kSlateSplit ? 1 : 0);

  double apply_total = 0, pass_total = 0;
  for (auto _ : state) {
    if (layout != Layout::kCaptions) fx->slate_mark = 1;
    auto start = std::chrono::steady_clock::now();
    fx->Apply(0, &bm, nullptr, &abort);
    double apply = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(apply);
    apply_total += apply;
    pass_total += MemoryPassSeconds(frame);
  }
  state.counters["x_memory_pass"] = apply_total / pass_total;
  state.counters["pass_ms"] = 1e3 * pass_total / double(state.iterations());

  fx->DeleteAllRefs();
  fx->DeleteThis();
  pb->DeleteThis();
  textraster::UnpinLocalTime();
  textraster::SetMessageBoxHandler(nullptr);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Args({640, 480})->Args({1920, 1080})->Args({3840, 2160});
  b->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(BM_Apply, captions, Layout::kCaptions)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Apply, slate_single, Layout::kSlateSingle)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Apply, slate_split, Layout::kSlateSplit)->Apply(Sizes);

}  // namespace
