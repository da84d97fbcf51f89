// What the effect costs a frame: the whole apply call (raster creation,
// drawing, merge, release) on in-memory 16-bit frames of three sizes, for a
// caption frame with every item on and a slate frame with every block on,
// the slate merged on one thread and split with the worker. The effect is
// the plug-in module Lumatrice.dlv beside this program, loaded as the host
// loads it, so its calls into the text raster cost what they cost in a
// render. Beside each case, in the same process and interleaved with it, a
// reference pass reads and writes every pixel of the same frame once; the
// counter `x_memory_pass` is apply time over pass time, which stays
// comparable on a noisy, shared machine.
//
//   lumatrice_bench --benchmark_filter=BM_Apply --benchmark_repetitions=5
//                   --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "../effect/param_ids.h"
#include "../host/raster/raster_host.h"
#include "../host/sdk/bitmap_storage.h"
#include "../host/sdk/host_api.h"
#include "plugin_loader.h"

namespace {

using Clock = std::chrono::steady_clock;

const Class_ID kLumatriceClassID(0x31b82d35, 0x47d45ce7);

// The module, loaded once for the whole run from this program's folder.
ClassDesc* LumatriceClass() {
  static pluginloader::PluginLoader* loader = [] {
    auto* l = new pluginloader::PluginLoader;  // never unloaded: effects may outlive a case
    std::error_code ec;
    const auto folder = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
    l->LoadModule((folder / "Lumatrice.dlv").string());
    return l;
  }();
  return loader->FindClass(RENDER_EFFECT_CLASS_ID, kLumatriceClassID);
}

// The host deletes an effect and then the blocks nothing else holds.
void DestroyEffect(Effect* fx) {
  std::vector<ReferenceTarget*> blocks;
  for (int i = 0; i < fx->NumParamBlocks(); ++i)
    if (IParamBlock2* block = fx->GetParamBlock(i)) blocks.push_back(block);
  fx->DeleteThis();
  for (ReferenceTarget* block : blocks)
    if (block->NumDependents() == 0) block->DeleteThis();
}

class NullAbort : public CheckAbortCallback {
 public:
  BOOL Check() override { return FALSE; }
  BOOL Progress(int, int) override { return TRUE; }
  void SetTitle(const char*) override {}
};

// The reference: one plain per-pixel read-modify-write loop, kept scalar so
// that it means the same with every compiler (GCC 12 at -O2 leaves such a
// loop scalar anyway; at -O3 it may not).
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-vectorize")))
#endif
double MemoryPassSeconds(RGBA16Storage& frame) {
  const auto start = Clock::now();
  for (int y = 0; y < frame.Height(); ++y) {
    BMM_Color_64* row = frame.Row(y);
#if defined(__clang__)
#pragma clang loop vectorize(disable) interleave(disable)
#endif
    for (int x = 0; x < frame.Width(); ++x) {
      row[x].r = WORD(row[x].r ^ 1);
      row[x].a = 0xFFFF;
    }
  }
  benchmark::ClobberMemory();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

enum class Layout { kCaptions, kSlateSingle, kSlateSplit };

// Every switch on, texts of a realistic length.
void SwitchEverythingOn(IParamBlock2* pb, Layout layout) {
  for (short id : {pb_display_header, pb_display_footer, pb_display_comments, pb_display_frames,
                   pb_display_filename, pb_display_date, pb_display_slate,
                   pb_display_slate_author, pb_display_slate_comments,
                   pb_display_slate_filename, pb_display_slate_time_date})
    pb->SetValue(id, 0, 1);
  pb->SetValue(pb_comments, 0, "Lumatrice benchmark - lighting pass v12, review copy");
  pb->SetValue(pb_slate_author, 0, "Bench Author");
  pb->SetValue(pb_slate_comments, 0, "every slate block on, merged into a 16-bit frame");
  pb->SetValue(pb_use_multithreading, 0, layout == Layout::kSlateSplit ? 1 : 0);
}

void BM_Apply(benchmark::State& state, Layout layout) {
  const int w = int(state.range(0)), h = int(state.range(1));
  textraster::SetMessageBoxHandler([](const char*, const char*, UINT) { return 1; });
  textraster::PinLocalTime(SYSTEMTIME{2026, 12, 1, 7, 21, 30, 0, 0});
  hostsdk::SetSceneFilePath("/shows/bench/sequences/sq010/shot_010_lighting_v012.lum");

  ClassDesc* cd = LumatriceClass();
  auto* fx = cd ? static_cast<Effect*>(cd->Create(FALSE)) : nullptr;
  IParamBlock2* pb = fx ? fx->GetParamBlock(0) : nullptr;
  if (!pb) {
    state.SkipWithError("Lumatrice.dlv did not load beside lumatrice_bench");
    if (fx) DestroyEffect(fx);
    return;
  }
  SwitchEverythingOn(pb, layout);
  RGBA16Storage frame(w, h);
  frame.Fill(BMM_Color_64{0x2000, 0x4000, 0x6000, 0xFFFF});
  Bitmap bm(&frame);
  NullAbort abort;

  // The pass runs on the first iteration and then whenever its running total
  // falls behind the apply's, so both are sampled across the whole run
  // without the pass dominating when the apply is much cheaper.
  double apply_total = 0, pass_total = 0;
  int passes = 0;
  for (auto _ : state) {
    // A render's first frame gets the slate.
    if (layout != Layout::kCaptions) hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER);
    const auto start = Clock::now();
    fx->Apply(TimeValue(0), &bm, nullptr, &abort);
    const double apply = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(apply);
    apply_total += apply;
    if (passes == 0 || pass_total < apply_total) {
      pass_total += MemoryPassSeconds(frame);
      ++passes;
    }
  }
  const double apply_mean = apply_total / double(state.iterations());
  const double pass_mean = pass_total / passes;
  state.counters["x_memory_pass"] = apply_mean / pass_mean;
  state.counters["pass_ms"] = 1e3 * pass_mean;
  state.SetItemsProcessed(state.iterations() * int64_t(w) * h);

  DestroyEffect(fx);
  textraster::UnpinLocalTime();
  textraster::SetMessageBoxHandler(nullptr);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Args({640, 480})->Args({1920, 1080})->Args({3840, 2160});
  b->ArgNames({"w", "h"})->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(BM_Apply, captions, Layout::kCaptions)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Apply, slate_single, Layout::kSlateSingle)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Apply, slate_split, Layout::kSlateSplit)->Apply(Sizes);

}  // namespace
