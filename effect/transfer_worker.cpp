// The split slate merge and its one background worker: the worker merges rows
// 0..H/2 while the calling thread merges the rest, one split merge at a time.
// The worker is started with the first effect object and stopped, joined and
// released with the last; when it cannot be started, slates are merged on the
// calling thread instead.
#include "transfer_worker.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>

#include "lumatrice_effect.h"
#include "raster_transfer.h"

TransferJob transfer_job = {};
int effect_count = 0;

namespace {

// Auto-reset: one Wait consumes one Set; a Set with nobody waiting stays
// pending until the next Wait.
class AutoResetEvent {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      signalled_ = true;
    }
    cv_.notify_one();
  }
  void Wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    cv_.wait(hold, [this] { return signalled_; });
    signalled_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

// Each side holds it for one row of raster reads, some microseconds: a
// waiter spins that long before it sleeps, so the two sides hand it over
// without a wake-up per row (with a plain mutex the split is slower than one
// thread).
class RasterLock {
 public:
  void lock() {
    for (int i = 0; i < kSpins; ++i) {
      if (mutex_.try_lock()) return;
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    mutex_.lock();
  }
  void unlock() { mutex_.unlock(); }

 private:
  static constexpr int kSpins = 2000;
  std::mutex mutex_;
};

std::unique_ptr<AutoResetEvent> job_start_event;
std::unique_ptr<AutoResetEvent> job_done_event;
std::unique_ptr<std::mutex> job_mutex;
std::unique_ptr<RasterLock> raster_lock;
std::thread worker_thread;

// Both are handed over through the events' own locks: worker_stop is written
// before job_start_event is set, worker_job_merged before job_done_event.
bool worker_stop = false;
bool worker_job_merged = false;

std::atomic<WorkerFault> injected_fault{WorkerFault::none};
std::atomic<int> workers_alive{0};
std::atomic<int> split_waiters{0};
int worker_generation = 0;

// One row: frame row in, raster row read under the lock, rule applied
// outside it, frame row out.
void MergeRow(HDC dc, Bitmap* bm, int y, int width, BMM_Color_64* colour, COLORREF* raster,
              RasterLock* lock) {
  bm->GetPixels(0, y, width, colour);
  {
    std::unique_lock<RasterLock> hold;
    if (lock) hold = std::unique_lock<RasterLock>(*lock);
    for (int x = 0; x < width; ++x) raster[x] = GetPixel(dc, x, y);
  }
  for (int x = 0; x < width; ++x)
    if (PixelRuleTakes(raster[x])) colour[x] = ConvertRasterPixel(raster[x]);
  bm->PutPixels(0, y, width, colour);
}

// Rows first..last inclusive, clipped to the frame so that an empty frame's
// range 0..0 touches nothing. The buffers live for this call only. False when
// they cannot be made: no row is touched then.
bool MergeRows(HDC dc, Bitmap* bm, int first, int last, RasterLock* lock,
               bool fail_buffers = false) {
  const int width = bm->Width();
  const int height = bm->Height();
  const int count = width > 0 ? width : 1;
  std::unique_ptr<BMM_Color_64[]> colour;
  std::unique_ptr<COLORREF[]> raster;
  if (!fail_buffers) {
    colour.reset(new (std::nothrow) BMM_Color_64[count]);
    raster.reset(new (std::nothrow) COLORREF[count]);
  }
  if (!colour || !raster) return false;

  if (first < 0) first = 0;
  if (last > height - 1) last = height - 1;
  for (int y = first; y <= last; ++y) MergeRow(dc, bm, y, width, colour.get(), raster.get(), lock);
  return true;
}

void ReleaseWorkerObjects() {
  job_start_event.reset();
  job_done_event.reset();
  job_mutex.reset();
  raster_lock.reset();
}

void StartWorker() {
  const WorkerFault fault = injected_fault.load();
  if (fault != WorkerFault::start_event) job_start_event.reset(new (std::nothrow) AutoResetEvent);
  if (fault != WorkerFault::done_event) job_done_event.reset(new (std::nothrow) AutoResetEvent);
  if (fault != WorkerFault::job_mutex) job_mutex.reset(new (std::nothrow) std::mutex);
  if (fault != WorkerFault::raster_lock) raster_lock.reset(new (std::nothrow) RasterLock);
  if (!job_start_event || !job_done_event || !job_mutex || !raster_lock ||
      fault == WorkerFault::thread) {
    ReleaseWorkerObjects();
    return;
  }
  worker_stop = false;
  try {
    worker_thread = std::thread(TransferWorkerMain);
  } catch (...) {
    ReleaseWorkerObjects();
    return;
  }
  ++worker_generation;
}

// The stop request goes through the same start event the idle worker waits
// on; the join guarantees it has left before anything it uses is released.
void StopWorker() {
  if (worker_thread.joinable()) {
    {
      // A split merge still in flight finishes first.
      std::lock_guard<std::mutex> hold(*job_mutex);
      worker_stop = true;
      job_start_event->Set();
    }
    worker_thread.join();
  }
  ReleaseWorkerObjects();
}

}  // namespace

void TransferWorkerMain() {
  ++workers_alive;
  for (;;) {
    job_start_event->Wait();
    if (worker_stop) break;
    const TransferJob job = transfer_job;
    bool merged = false;
    try {
      merged = MergeRows(job.raster_dc, job.bitmap, job.first_row, job.last_row,
                         raster_lock.get(),
                         injected_fault.load() == WorkerFault::worker_row_buffers);
    } catch (...) {
      // Nothing may leave this thread; the caller redoes the half.
    }
    worker_job_merged = merged;
    job_done_event->Set();
  }
  --workers_alive;
}

// A failed earlier start is retried by the next effect object.
void AttachTransferWorker() {
  ++effect_count;
  if (!worker_thread.joinable()) StartWorker();
}

void DetachTransferWorker() {
  if (effect_count <= 0) {
    assert1(__LINE__, __FILE__);
    return;
  }
  if (--effect_count == 0) StopWorker();
}

bool TransferWorkerAvailable() { return worker_thread.joinable(); }

void LumatriceEffect::SplitTransfer(HDC raster_dc, Bitmap* bitmap) {
  if (!bitmap) return;
  const int height = bitmap->Height();
  // Never wait for a worker that is not there.
  if (!TransferWorkerAvailable()) {
    MergeRows(raster_dc, bitmap, 0, height - 1, nullptr);
    return;
  }

  ++split_waiters;
  job_mutex->lock();
  --split_waiters;

  transfer_job = TransferJob{raster_dc, bitmap, 0, height / 2};
  const TransferJob job = transfer_job;
  job_start_event->Set();
  std::this_thread::yield();

  MergeRows(raster_dc, bitmap, job.last_row + 1, height - 1, raster_lock.get());

  job_done_event->Wait();
  // The worker is idle again; rows it could not merge are done here so the
  // frame is complete either way. The merge is idempotent.
  if (!worker_job_merged)
    MergeRows(raster_dc, bitmap, job.first_row, job.last_row, raster_lock.get());
  job_mutex->unlock();
}

void SetTransferWorkerFault(WorkerFault fault) { injected_fault.store(fault); }

int TransferWorkerGeneration() { return worker_generation; }

int TransferWorkersAlive() { return workers_alive.load(); }

std::thread::id TransferWorkerThreadId() { return worker_thread.get_id(); }

int TransferWorkerObjectsHeld() {
  return int(bool(job_start_event)) + int(bool(job_done_event)) + int(bool(job_mutex)) +
         int(bool(raster_lock)) + int(worker_thread.joinable());
}

int SplitMergesWaiting() { return split_waiters.load(); }
