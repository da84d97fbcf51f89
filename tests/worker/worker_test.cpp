// The split slate merge and its worker: which thread merges which rows, that
// the split frame equals the single-thread one, that split merges are
// serialised, the worker's life with the effect objects, and the fallbacks
// when the worker or its buffers cannot be made.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <atomic>
#include <condition_variable>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "../../effect/class_desc.h"
#include "../../effect/lumatrice_effect.h"
#include "../../effect/param_ids.h"
#include "../../effect/raster_transfer.h"
#include "../../effect/transfer_worker.h"
#include "bitmap_storage.h"
#include "raster_host.h"

// ---- recording raster reads -------------------------------------------------

// Raster reads pass through here on their way to the text raster, so a test
// can count them and catch any read of a row outside the frame.
std::atomic<long> raster_reads{0};
std::atomic<long> raster_reads_outside{0};
std::atomic<int> frame_rows{INT_MAX};

extern "C" COLORREF GetPixel(HDC hdc, int x, int y) {
  using Read = COLORREF (*)(HDC, int, int);
  static const Read real = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "GetPixel"));
  ++raster_reads;
  if (y < 0 || y >= frame_rows.load()) ++raster_reads_outside;
  return real(hdc, x, y);
}

namespace {

void WatchRasterReads(int height) {
  frame_rows = height;
  raster_reads = 0;
  raster_reads_outside = 0;
}

// ---- recording frame storage ------------------------------------------------

struct Access {
  char op;  // 'G' read started, 'P' write finished
  int y;
  int count;
  std::thread::id thread;
  const void* storage;
};

class AccessLog {
 public:
  void Add(const Access& a) {
    std::lock_guard<std::mutex> hold(mutex_);
    events_.push_back(a);
  }
  std::vector<Access> Events() {
    std::lock_guard<std::mutex> hold(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::vector<Access> events_;
};

// Holds writes until opened; counts the writes that arrived.
class Gate {
 public:
  void Arrive() {
    std::unique_lock<std::mutex> hold(mutex_);
    ++arrived_;
    cv_.notify_all();
    cv_.wait(hold, [this] { return open_; });
  }
  void WaitForArrival() {
    std::unique_lock<std::mutex> hold(mutex_);
    cv_.wait(hold, [this] { return arrived_ > 0; });
  }
  void Open() {
    std::lock_guard<std::mutex> hold(mutex_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int arrived_ = 0;
  bool open_ = false;
};

class LoggingStorage : public RGBA16Storage {
 public:
  LoggingStorage(int w, int h, AccessLog* log, Gate* gate = nullptr)
      : RGBA16Storage(w, h), log_(log), gate_(gate) {}
  int GetPixels(int x, int y, int count, BMM_Color_64* ptr) const override {
    log_->Add({'G', y, count, std::this_thread::get_id(), this});
    return RGBA16Storage::GetPixels(x, y, count, ptr);
  }
  int PutPixels(int x, int y, int count, const BMM_Color_64* ptr) override {
    if (gate_) gate_->Arrive();
    int n = RGBA16Storage::PutPixels(x, y, count, ptr);
    log_->Add({'P', y, count, std::this_thread::get_id(), this});
    return n;
  }

 private:
  AccessLog* log_;
  Gate* gate_;
};

// Rows each thread wrote, and how often each row was read and written.
struct RowCensus {
  std::map<int, int> reads, writes;
  std::map<std::thread::id, std::set<int>> rows_by_thread;
};
RowCensus Census(const std::vector<Access>& log, const void* storage) {
  RowCensus c;
  for (const Access& a : log) {
    if (a.storage != storage) continue;
    if (a.op == 'G') ++c.reads[a.y];
    if (a.op == 'P') {
      ++c.writes[a.y];
      c.rows_by_thread[a.thread].insert(a.y);
    }
  }
  return c;
}
std::set<int> RowRange(int first, int last) {
  std::set<int> rows;
  for (int y = first; y <= last; ++y) rows.insert(y);
  return rows;
}

void FillNoise(RGBA16Storage& s, unsigned seed) {
  std::mt19937 rng(seed);
  for (int y = 0; y < s.Height(); ++y) {
    BMM_Color_64* row = s.Row(y);
    for (int x = 0; x < s.Width(); ++x)
      row[x] = BMM_Color_64{WORD(rng()), WORD(rng()), WORD(rng()), WORD(rng())};
  }
}

bool SamePixels(const RGBA16Storage& a, const RGBA16Storage& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  for (int y = 0; y < a.Height(); ++y)
    for (int x = 0; x < a.Width(); ++x) {
      const BMM_Color_64 p = a.Row(y)[x], q = b.Row(y)[x];
      if (p.r != q.r || p.g != q.g || p.b != q.b || p.a != q.a) return false;
    }
  return true;
}

// ---- raster -----------------------------------------------------------------

class Raster {
 public:
  Raster(int w, int h) {
    raster_.screen_dc = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
    raster_.memory_dc = CreateCompatibleDC(raster_.screen_dc);
    raster_.bitmap = CreateCompatibleBitmap(raster_.screen_dc, w, h);
    raster_.previous_bitmap = SelectObject(raster_.memory_dc, raster_.bitmap);
    SetBkMode(raster_.memory_dc, OPAQUE);
    SetTextAlign(raster_.memory_dc, TA_LEFT | TA_TOP);
    SelectObject(raster_.memory_dc, GetStockObject(ANSI_FIXED_FONT));
  }
  ~Raster() {
    SelectObject(raster_.memory_dc, raster_.previous_bitmap);
    DeleteObject(raster_.bitmap);
    DeleteDC(raster_.memory_dc);
    DeleteDC(raster_.screen_dc);
  }
  bool ok() const { return raster_.bitmap != nullptr; }
  HDC dc() const { return raster_.memory_dc; }
  const TextRaster& text_raster() const { return raster_; }

  // One character cell of a single colour, top-left at (x, y).
  void Cell(int x, int y, COLORREF c) {
    SetBkColor(dc(), c);
    SetTextColor(dc(), c);
    TextOutA(dc(), x, y, " ", 1);
  }
  // Cells scattered over the raster in every colour the rule must decide on,
  // plus white text on line boxes.
  void Scatter(int w, int h, unsigned seed) {
    static const COLORREF palette[] = {0x000000, 0xFFFFFF, 0x3C3C3C, 0x404040, 0x0000FF,
                                       0x00FF00, 0xFF0000, 0x00FFFF, 0x010101, 0x123456};
    std::mt19937 rng(seed);
    for (int i = 0; i < (w * h) / 400 + 4; ++i)
      Cell(int(rng() % unsigned(w + 8)) - 8, int(rng() % unsigned(h + 13)) - 13,
           palette[rng() % std::size(palette)]);
    SetBkColor(dc(), 0x3C3C3C);
    SetTextColor(dc(), 0xFFFFFF);
    TextOutA(dc(), w / 3, h / 2, "Slate 1/1", 9);
  }

 private:
  TextRaster raster_;
};

// ---- effect objects ---------------------------------------------------------

LumatriceEffect* NewEffect() {
  return static_cast<LumatriceEffect*>(LumatriceClassDesc.Create(FALSE));
}

// As the host deletes an effect: its block goes with it.
void DeleteEffect(LumatriceEffect* e) {
  IParamBlock2* block = e->pblock;
  e->DeleteAllRefs();
  e->DeleteThis();
  if (block) block->DeleteThis();
}

// A slate frame: every block on, multithreading as asked, mark set.
void PrepareSlate(LumatriceEffect* e, bool multithreading) {
  e->pblock->SetValue(pb_display_slate, 0, 1);
  e->pblock->SetValue(pb_slate_author, 0, "A. Author");
  e->pblock->SetValue(pb_slate_comments, 0, "take 3");
  e->pblock->SetValue(pb_use_multithreading, 0, multithreading ? 1 : 0);
  e->slate_mark = 1;
}

class CountingAbort : public CheckAbortCallback {
 public:
  explicit CountingAbort(BOOL cancel) : cancel_(cancel) {}
  BOOL Check() override {
    ++checks;
    return cancel_;
  }
  BOOL Progress(int, int) override {
    ++progress;
    return TRUE;
  }
  void SetTitle(const char*) override {}
  int checks = 0;
  int progress = 0;

 private:
  BOOL cancel_;
};

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(effect_count, 0) << "a previous test left effect objects alive";
    SYSTEMTIME pinned{2002, 3, 4, 7, 9, 5, 3, 0};
    textraster::PinLocalTime(pinned);
  }
  void TearDown() override {
    SetTransferWorkerFault(WorkerFault::none);
    textraster::UnpinLocalTime();
    EXPECT_EQ(effect_count, 0);
    EXPECT_EQ(TransferWorkerObjectsHeld(), 0);
  }
};

// ---- row split --------------------------------------------------------------

struct SplitCase {
  int width, height;
  int worker_last;  // -1: the worker merges nothing
  int caller_first, caller_last;
};

TEST_F(WorkerTest, EveryRowMergedOnceByItsSide) {
  const SplitCase cases[] = {
      {8, 480, 240, 241, 479},
      {8, 3, 1, 2, 2},
      {8, 2, 1, 2, 1},  // caller: none
      {8, 1, 0, 1, 0},  // caller: none
      {8, 0, -1, 1, 0},  // nothing on either side
      // Zero-width rows: the host's Bitmap passes no zero-count call on to its
      // storage, so nothing may show up there; the call must still return.
      {0, 4, -1, 1, 0},
      {0, 0, -1, 1, 0},
  };
  LumatriceEffect* effect = NewEffect();
  ASSERT_TRUE(TransferWorkerAvailable());
  const std::thread::id worker = TransferWorkerThreadId();
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    AccessLog log;
    LoggingStorage storage(c.width, c.height, &log);
    ASSERT_EQ(storage.Height(), c.height);
    ASSERT_EQ(storage.Width(), c.width);
    Bitmap bm(&storage);
    Raster raster(std::max(c.width, 1), std::max(c.height, 1));
    ASSERT_TRUE(raster.ok());

    WatchRasterReads(c.height);
    effect->SplitTransfer(raster.dc(), &bm);
    EXPECT_EQ(raster_reads.load(), long(c.width) * c.height);
    EXPECT_EQ(raster_reads_outside.load(), 0);
    WatchRasterReads(INT_MAX);

    const std::vector<Access> events = log.Events();
    const RowCensus census = Census(events, &storage);
    EXPECT_EQ(census.rows_by_thread.count(worker) ? census.rows_by_thread.at(worker)
                                                  : std::set<int>{},
              RowRange(0, c.worker_last));
    const std::thread::id caller = std::this_thread::get_id();
    EXPECT_EQ(census.rows_by_thread.count(caller) ? census.rows_by_thread.at(caller)
                                                  : std::set<int>{},
              RowRange(c.caller_first, c.caller_last));
    EXPECT_LE(census.rows_by_thread.size(), 2u);
    const int once = c.width > 0 ? 1 : 0;
    for (int y = 0; y < c.height; ++y) {
      EXPECT_EQ(census.reads.count(y) ? census.reads.at(y) : 0, once) << "row " << y;
      EXPECT_EQ(census.writes.count(y) ? census.writes.at(y) : 0, once) << "row " << y;
    }
    for (const Access& a : events) {
      EXPECT_TRUE(a.y >= 0 && a.y < c.height) << a.op << " row " << a.y;
      EXPECT_EQ(a.count, c.width);
    }
  }
  DeleteEffect(effect);
}

TEST_F(WorkerTest, FrameWithoutStorageIsLeftAlone) {
  LumatriceEffect* effect = NewEffect();
  Bitmap bm;  // 0 x 0
  Raster raster(1, 1);
  effect->SplitTransfer(raster.dc(), &bm);  // must return, touching nothing
  EXPECT_EQ(bm.Height(), 0);
  DeleteEffect(effect);
}

// ---- result ---------------------------------------------------------------

TEST_F(WorkerTest, SplitFrameEqualsSingleThreadFrame) {
  const struct {
    int width, height;
  } sizes[] = {{640, 480}, {333, 481}, {17, 3}, {5, 2}, {9, 1}};
  LumatriceEffect* effect = NewEffect();
  for (const auto& s : sizes) {
    SCOPED_TRACE(testing::Message() << s.width << "x" << s.height);
    Raster raster(s.width, s.height);
    ASSERT_TRUE(raster.ok());
    raster.Scatter(s.width, s.height, unsigned(s.width * 7 + s.height));

    RGBA16Storage single(s.width, s.height), split(s.width, s.height), original(s.width, s.height);
    FillNoise(single, 11);
    FillNoise(split, 11);
    FillNoise(original, 11);
    Bitmap single_bm(&single), split_bm(&split);

    std::unique_ptr<BMM_Color_64[]> buffer;
    TransferRaster(raster.text_raster(), &single_bm, nullptr, SlateBands(s.height), buffer);
    effect->SplitTransfer(raster.dc(), &split_bm);

    EXPECT_TRUE(SamePixels(single, split));
    EXPECT_FALSE(SamePixels(original, split)) << "the raster should have changed the frame";
  }
  DeleteEffect(effect);
}

TEST_F(WorkerTest, PixelRuleOnBothHalves) {
  const struct {
    COLORREF raster;
    bool taken;
  } cases[] = {
      {0x000000, false}, {0xFFFFFF, true},  {0x3C3C3C, true},  {0x404040, true},
      {0x0000FF, false},  // red only
      {0x00FF00, false},  // green only
      {0xFF0000, false},  // blue only
      {0x00FFFF, true},   // red and green, no blue
      {0x010101, true},   {0x123456, true},
  };
  constexpr int kW = 8 * int(std::size(cases)), kH = 40;  // rows 0..20 worker, 21..39 caller
  const int probe_rows[] = {5, 30};
  LumatriceEffect* effect = NewEffect();
  Raster raster(kW, kH);
  for (size_t i = 0; i < std::size(cases); ++i)
    for (int y : probe_rows) raster.Cell(int(i) * 8, y, cases[i].raster);
  RGBA16Storage frame(kW, kH);
  frame.Fill(BMM_Color_64{0x1234, 0x5678, 0x9ABC, 0x0101});
  Bitmap bm(&frame);

  effect->SplitTransfer(raster.dc(), &bm);

  for (size_t i = 0; i < std::size(cases); ++i)
    for (int y : probe_rows) {
      SCOPED_TRACE(testing::Message() << std::hex << cases[i].raster << std::dec << " row " << y);
      const COLORREF c = cases[i].raster;
      ASSERT_EQ(GetPixel(raster.dc(), int(i) * 8 + 3, y + 3), c);
      const BMM_Color_64 p = frame.Row(y + 3)[i * 8 + 3];
      if (cases[i].taken) {
        EXPECT_EQ(p.r, WORD((c & 0xFF) << 8));
        EXPECT_EQ(p.g, WORD(((c >> 8) & 0xFF) << 8));
        EXPECT_EQ(p.b, WORD(((c >> 16) & 0xFF) << 8));
        EXPECT_EQ(p.a, 0xFFFF);
      } else {
        EXPECT_EQ(p.r, 0x1234);
        EXPECT_EQ(p.g, 0x5678);
        EXPECT_EQ(p.b, 0x9ABC);
        EXPECT_EQ(p.a, 0x0101);
      }
    }
  DeleteEffect(effect);
}

// ---- serialisation ----------------------------------------------------------

TEST_F(WorkerTest, SplitMergesOfTwoEffectsRunOneAfterTheOther) {
  constexpr int kW = 64, kH = 48;
  LumatriceEffect* first = NewEffect();
  LumatriceEffect* second = NewEffect();
  PrepareSlate(first, true);
  PrepareSlate(second, true);
  AccessLog log;
  Gate gate;
  LoggingStorage first_frame(kW, kH, &log, &gate), second_frame(kW, kH, &log);
  Bitmap first_bm(&first_frame), second_bm(&second_frame);
  CountingAbort cb_first(FALSE), cb_second(FALSE);

  std::thread a([&] { first->Apply(0, &first_bm, nullptr, &cb_first); });
  gate.WaitForArrival();  // the first split merge is writing rows and held there
  std::thread b([&] { second->Apply(0, &second_bm, nullptr, &cb_second); });
  // Either the second merge is seen waiting, or (the fault) it is seen running.
  auto second_touched = [&] {
    for (const Access& a : log.Events())
      if (a.storage == &second_frame) return true;
    return false;
  };
  while (SplitMergesWaiting() == 0 && !second_touched()) std::this_thread::yield();
  const bool second_ran_while_held = second_touched();
  gate.Open();
  a.join();
  b.join();

  EXPECT_FALSE(second_ran_while_held);
  const std::vector<Access> events = log.Events();
  size_t last_first = 0, first_second = events.size();
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].storage == &first_frame) last_first = i;
    if (events[i].storage == &second_frame) first_second = std::min(first_second, i);
  }
  EXPECT_LT(last_first, first_second);
  EXPECT_EQ(Census(events, &first_frame).writes.size(), size_t(kH));
  EXPECT_EQ(Census(events, &second_frame).writes.size(), size_t(kH));
  DeleteEffect(first);
  DeleteEffect(second);
}

// ---- life of the worker -----------------------------------------------------

TEST_F(WorkerTest, WorkerLivesFromFirstEffectToLast) {
  EXPECT_FALSE(TransferWorkerAvailable());
  for (int cycle = 0; cycle < 25; ++cycle) {
    SCOPED_TRACE(cycle);
    const int generation = TransferWorkerGeneration();
    LumatriceEffect* one = NewEffect();
    EXPECT_EQ(TransferWorkerGeneration(), generation + 1);
    EXPECT_EQ(TransferWorkerObjectsHeld(), 5);
    const std::thread::id worker = TransferWorkerThreadId();
    EXPECT_NE(worker, std::thread::id());

    LumatriceEffect* two = NewEffect();
    EXPECT_EQ(TransferWorkerGeneration(), generation + 1);
    EXPECT_EQ(effect_count, 2);
    DeleteEffect(one);
    EXPECT_TRUE(TransferWorkerAvailable());
    EXPECT_EQ(TransferWorkerThreadId(), worker);

    // The surviving worker still takes its half.
    AccessLog log;
    LoggingStorage storage(4, 10, &log);
    Bitmap bm(&storage);
    Raster raster(4, 10);
    two->SplitTransfer(raster.dc(), &bm);
    EXPECT_EQ(Census(log.Events(), &storage).rows_by_thread[worker], RowRange(0, 5));

    DeleteEffect(two);
    EXPECT_FALSE(TransferWorkerAvailable());
    EXPECT_EQ(TransferWorkersAlive(), 0);
    EXPECT_EQ(TransferWorkerObjectsHeld(), 0);
    EXPECT_EQ(TransferWorkerThreadId(), std::thread::id());
  }
}

// ---- fallbacks --------------------------------------------------------------

TEST_F(WorkerTest, FailedWorkerStartMergesSlateOnCallingThread) {
  const WorkerFault faults[] = {WorkerFault::start_event, WorkerFault::done_event,
                                WorkerFault::job_mutex, WorkerFault::raster_lock,
                                WorkerFault::thread};
  constexpr int kW = 96, kH = 61;
  for (WorkerFault fault : faults) {
    SCOPED_TRACE(int(fault));
    AccessLog log;
    LoggingStorage reference(kW, kH, &log), fallback(kW, kH, &log);
    FillNoise(reference, 3);
    FillNoise(fallback, 3);
    Bitmap reference_bm(&reference), fallback_bm(&fallback);
    CountingAbort cb(FALSE);

    LumatriceEffect* plain = NewEffect();
    PrepareSlate(plain, false);
    plain->Apply(0, &reference_bm, nullptr, &cb);
    DeleteEffect(plain);

    SetTransferWorkerFault(fault);
    const int generation = TransferWorkerGeneration();
    LumatriceEffect* effect = NewEffect();
    EXPECT_FALSE(TransferWorkerAvailable());
    EXPECT_EQ(TransferWorkerObjectsHeld(), 0);
    EXPECT_EQ(TransferWorkerGeneration(), generation);
    PrepareSlate(effect, true);
    effect->Apply(0, &fallback_bm, nullptr, &cb);

    EXPECT_TRUE(SamePixels(reference, fallback));
    const RowCensus census = Census(log.Events(), &fallback);
    ASSERT_EQ(census.rows_by_thread.size(), 1u);
    EXPECT_EQ(census.rows_by_thread.begin()->first, std::this_thread::get_id());
    EXPECT_EQ(census.rows_by_thread.begin()->second, RowRange(0, kH - 1));

    // Called directly, the split merge does the whole frame itself.
    LoggingStorage direct(kW, kH, &log);
    FillNoise(direct, 3);
    Bitmap direct_bm(&direct);
    Raster raster(kW, kH);
    raster.Scatter(kW, kH, 9);
    effect->SplitTransfer(raster.dc(), &direct_bm);
    const RowCensus direct_census = Census(log.Events(), &direct);
    ASSERT_EQ(direct_census.rows_by_thread.size(), 1u);
    EXPECT_EQ(direct_census.rows_by_thread.begin()->first, std::this_thread::get_id());
    EXPECT_EQ(direct_census.rows_by_thread.begin()->second, RowRange(0, kH - 1));

    // The next effect object tries again.
    SetTransferWorkerFault(WorkerFault::none);
    LumatriceEffect* later = NewEffect();
    EXPECT_TRUE(TransferWorkerAvailable());
    EXPECT_EQ(TransferWorkerGeneration(), generation + 1);
    DeleteEffect(later);
    DeleteEffect(effect);
  }
}

TEST_F(WorkerTest, WorkerWithoutRowBuffersStillReportsDone) {
  constexpr int kW = 50, kH = 31;
  LumatriceEffect* effect = NewEffect();
  const std::thread::id worker = TransferWorkerThreadId();
  Raster raster(kW, kH);
  raster.Scatter(kW, kH, 5);
  AccessLog log;
  LoggingStorage single(kW, kH, &log), split(kW, kH, &log);
  FillNoise(single, 8);
  FillNoise(split, 8);
  Bitmap single_bm(&single), split_bm(&split);
  std::unique_ptr<BMM_Color_64[]> buffer;
  TransferRaster(raster.text_raster(), &single_bm, nullptr, SlateBands(kH), buffer);

  SetTransferWorkerFault(WorkerFault::worker_row_buffers);
  effect->SplitTransfer(raster.dc(), &split_bm);  // returns: done was signalled
  effect->SplitTransfer(raster.dc(), &split_bm);  // and again for the next job
  SetTransferWorkerFault(WorkerFault::none);

  EXPECT_TRUE(SamePixels(single, split));
  const RowCensus census = Census(log.Events(), &split);
  EXPECT_EQ(census.rows_by_thread.count(worker), 0u);
  EXPECT_EQ(census.rows_by_thread.at(std::this_thread::get_id()), RowRange(0, kH - 1));
  DeleteEffect(effect);
}

// ---- cancel -----------------------------------------------------------------

TEST_F(WorkerTest, CancelDoesNotShortenSplitMerge) {
  constexpr int kW = 80, kH = 60;
  const struct {
    bool multithreading;
    bool cancel;
    int rows_expected;
  } cases[] = {
      {true, true, kH},    // split: runs to the end, never asks
      {false, true, 1},    // single thread: stops after its first row
      {false, false, kH},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.multithreading << c.cancel);
    AccessLog log;
    LoggingStorage frame(kW, kH, &log);
    Bitmap bm(&frame);
    CountingAbort cb(c.cancel ? TRUE : FALSE);
    LumatriceEffect* effect = NewEffect();
    PrepareSlate(effect, c.multithreading);
    effect->Apply(0, &bm, nullptr, &cb);
    DeleteEffect(effect);

    EXPECT_EQ(Census(log.Events(), &frame).writes.size(), size_t(c.rows_expected));
    if (c.multithreading) {
      EXPECT_EQ(cb.checks, 0);
      EXPECT_EQ(cb.progress, 0);
    }
  }
}

}  // namespace
