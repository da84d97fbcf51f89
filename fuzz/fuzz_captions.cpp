// Fuzz target: one apply call of the effect on a frame of any size (0 to
// 70000 each way, capped in pixels), with any switches, texts, scene path,
// frame time, slate mark, split or single merge, worker and raster faults and
// cancel. The frame is only ever touched inside itself, only with the colours
// the effect draws, only on the rows its layout owns; the split merge gives
// the single merge's frame; nothing leaks.
//
// Input (little-endian): u32 width, u32 height, u16 switches (bit i is
// parameter switch i in ID order), u8 mode, u8 cancel-after, u8 time
// display and frame rate, i32 time, then four length-prefixed texts: comments, slate
// author, slate comments, scene path.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bitmap_storage.h"
#include "caption_layout.h"
#include "fuzz_input.h"
#include "host_api.h"
#include "lumatrice_effect.h"
#include "param_ids.h"
#include "raster_host.h"
#include "raster_transfer.h"
#include "transfer_worker.h"

namespace {

constexpr int kMaxSide = 70000;
constexpr std::uint64_t kMaxPixels = 1u << 16;
constexpr std::size_t kMaxText = 100000;

constexpr BMM_Color_64 kBackdrop{0x1234, 0x2345, 0x3456, 0x4567};
constexpr BMM_Color_64 kBox{0x3C00, 0x3C00, 0x3C00, 0xFFFF};
constexpr BMM_Color_64 kGlyph{0xFF00, 0xFF00, 0xFF00, 0xFFFF};
constexpr BMM_Color_64 kSlateGrey{0x4000, 0x4000, 0x4000, 0xFFFF};

// The checks below walk every pixel: kept out of the coverage feedback, which
// would otherwise cost more than the code under test.
#if defined(__clang__)
#define NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define NO_COVERAGE
#endif

NO_COVERAGE bool Same(const BMM_Color_64& a, const BMM_Color_64& b) {
  return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

// Every row access must name exactly one whole row of the frame.
class CheckedFrame : public RGBA16Storage {
 public:
  CheckedFrame(int w, int h) : RGBA16Storage(w, h) { Fill(kBackdrop); }
  int GetPixels(int x, int y, int count, BMM_Color_64* ptr) const override {
    FUZZ_CHECK(ptr != nullptr);
    FUZZ_CHECK(x == 0 && y >= 0 && y < Height() && count == Width());
    return RGBA16Storage::GetPixels(x, y, count, ptr);
  }
  int PutPixels(int x, int y, int count, const BMM_Color_64* ptr) override {
    FUZZ_CHECK(ptr != nullptr);
    FUZZ_CHECK(x == 0 && y >= 0 && y < Height() && count == Width());
    writes.fetch_add(1, std::memory_order_relaxed);
    return RGBA16Storage::PutPixels(x, y, count, ptr);
  }
  mutable std::atomic<int> writes{0};
};

class CountingAbort : public CheckAbortCallback {
 public:
  explicit CountingAbort(int cancel_after) : cancel_after_(cancel_after) {}
  BOOL Check() override { return ++checks == cancel_after_; }
  BOOL Progress(int done, int total) override {
    FUZZ_CHECK(done >= 0 && done < total);
    return TRUE;
  }
  void SetTitle(const char*) override {}
  int checks = 0;

 private:
  int cancel_after_;
};

struct Case {
  int width = 0, height = 0;
  unsigned switches = 0;
  unsigned mode = 0;
  int cancel_after = 0;  // 0: never
  unsigned time_display = 0;
  TimeValue t = 0;
  std::string comments, author, slate_comments, scene_path;

  bool slate_mark() const { return mode & 1; }
  bool worker_fault() const { return mode & 2; }
  bool raster_fault() const { return mode & 4; }
  textraster::RasterStep fault_step() const {
    return static_cast<textraster::RasterStep>((mode >> 3) % 3);
  }
  bool on(short id) const;
};

// Switch parameters in ID order, so that bit i of the input is the i-th one.
constexpr short kSwitches[] = {
    pb_display_header,         pb_display_footer,          pb_display_comments,
    pb_display_frames,         pb_display_filename,        pb_display_date,
    pb_display_slate,          pb_display_slate_author,    pb_display_slate_comments,
    pb_display_slate_filename, pb_display_slate_time_date, pb_use_multithreading,
};

bool Case::on(short id) const {
  for (int i = 0; i < 12; ++i)
    if (kSwitches[i] == id) return (switches >> i) & 1;
  return false;
}

Case Decode(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  Case c;
  c.width = static_cast<int>(in.U32() % (kMaxSide + 1));
  c.height = static_cast<int>(in.U32() % (kMaxSide + 1));
  // Keep the frame within memory: a long side keeps its length, the other
  // side gives way.
  if (c.width > 0 && std::uint64_t(c.width) * c.height > kMaxPixels)
    c.height = static_cast<int>(kMaxPixels / c.width);
  c.switches = in.U16();
  c.mode = in.U8();
  c.cancel_after = static_cast<int>(in.U8());
  c.time_display = in.U8();
  c.t = static_cast<TimeValue>(in.U32());
  c.comments = in.Text(kMaxText);
  c.author = in.Text(kMaxText);
  c.slate_comments = in.Text(kMaxText);
  c.scene_path = in.Text(kMaxText);
  return c;
}

class FuzzEffect {
 public:
  explicit FuzzEffect(const Case& c) : fx_(new LumatriceEffect) {
    FUZZ_CHECK(fx_->pblock != nullptr);
    for (short id : kSwitches) fx_->pblock->SetValue(id, 0, c.on(id) ? 1 : 0);
    fx_->pblock->SetValue(pb_comments, 0, c.comments.c_str());
    fx_->pblock->SetValue(pb_slate_author, 0, c.author.c_str());
    fx_->pblock->SetValue(pb_slate_comments, 0, c.slate_comments.c_str());
  }
  ~FuzzEffect() {
    IParamBlock2* block = fx_->pblock;
    fx_->DeleteAllRefs();
    fx_->DeleteThis();
    if (block) block->DeleteThis();
  }
  LumatriceEffect* operator->() { return fx_; }

 private:
  LumatriceEffect* fx_;
};

// One apply call on a fresh frame; returns the frame.
void ApplyOnce(const Case& c, bool multithreading, CheckedFrame& frame, int& checks) {
  FuzzEffect fx(c);
  fx->pblock->SetValue(pb_use_multithreading, 0, multithreading ? 1 : 0);
  fx->slate_mark = c.slate_mark() ? 1 : 0;
  Bitmap bm(&frame);
  CountingAbort abort(c.cancel_after);
  fx->Apply(c.t, &bm, nullptr, &abort);
  FUZZ_CHECK(fx->slate_mark == 0);
  checks = abort.checks;
}

NO_COVERAGE void CheckFrame(const Case& c, const CheckedFrame& frame, bool slate, bool cancelled) {
  const int w = frame.Width(), h = frame.Height();
  for (int y = 0; y < h; ++y) {
    const BMM_Color_64* row = frame.Row(y);
    const bool in_bands = (y >= 2 && y <= 22 && y < h - 2) || (y >= h - 20 && y < h - 2 && y >= 2);
    for (int x = 0; x < w; ++x) {
      const BMM_Color_64& p = row[x];
      const bool drawn = Same(p, kBox) || Same(p, kGlyph) || Same(p, kSlateGrey);
      FUZZ_CHECK(drawn || Same(p, kBackdrop));
      if (c.raster_fault()) FUZZ_CHECK(Same(p, kBackdrop));
      if (!slate) FUZZ_CHECK(!Same(p, kSlateGrey) && (in_bands || Same(p, kBackdrop)));
      if (slate && !cancelled && !c.raster_fault()) FUZZ_CHECK(drawn);
    }
  }
}

NO_COVERAGE bool SameFrame(const CheckedFrame& a, const CheckedFrame& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  if (a.Width() == 0) return true;  // no rows to hold
  const std::size_t row_bytes = sizeof(BMM_Color_64) * a.Width();
  for (int y = 0; y < a.Height(); ++y)
    if (std::memcmp(a.Row(y), b.Row(y), row_bytes) != 0) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Message boxes are counted, not shown.
  textraster::SetMessageBoxHandler([](const char*, const char*, UINT) { return 1; });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Case c = Decode(data, size);

  hostsdk::ResetHost();
  static constexpr int kRates[] = {30, 24, 25, 60, 1, 4800, 15, 100};
  hostsdk::SetTimeDisplay(static_cast<hostsdk::TimeDisplay>(c.time_display % 4));
  FUZZ_CHECK(hostsdk::SetFrameRate(kRates[(c.time_display >> 2) % 8]));
  hostsdk::SetSceneFilePath(c.scene_path.c_str());
  textraster::PinLocalTime(SYSTEMTIME{2002, 3, 4, 7, 9, 5, 3, 0});
  textraster::ResetMessageBoxCount();
  textraster::ClearRasterFaults();
  if (c.raster_fault()) textraster::FailRasterStep(c.fault_step());
  SetTransferWorkerFault(c.worker_fault() ? WorkerFault::thread : WorkerFault::none);

  CheckedFrame frame(c.width, c.height);
  const bool sized = c.width <= 0xFFFF && c.height <= 0xFFFF;
  FUZZ_CHECK(sized ? frame.Width() == c.width && frame.Height() == c.height
                   : frame.Width() == 0 && frame.Height() == 0);

  const bool slate = c.slate_mark() && c.on(pb_display_slate);
  const bool split = slate && c.on(pb_use_multithreading) && !c.worker_fault();
  int checks = 0;
  ApplyOnce(c, c.on(pb_use_multithreading), frame, checks);
  const bool cancelled = !split && c.cancel_after != 0 && checks >= c.cancel_after;

  FUZZ_CHECK(textraster::MessageBoxCount() == (c.raster_fault() ? 1 : 0));
  FUZZ_CHECK(textraster::LiveContexts() == 0 && textraster::LiveBitmaps() == 0);
  FUZZ_CHECK(TransferWorkersAlive() == 0 && TransferWorkerObjectsHeld() == 0);
  if (split) FUZZ_CHECK(checks == 0);  // the split merge never asks
  CheckFrame(c, frame, slate, cancelled);

  // The split merge must give exactly the single-thread merge's frame.
  if (split && c.cancel_after == 0) {
    CheckedFrame single(c.width, c.height);
    int single_checks = 0;
    ApplyOnce(c, false, single, single_checks);
    FUZZ_CHECK(SameFrame(frame, single));
  }

  textraster::ClearRasterFaults();
  SetTransferWorkerFault(WorkerFault::none);
  return 0;
}
