// Reader thread -> apply (this thread) -> writer threads, over a fixed pool
// of frame buffers.
#include "pipeline.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#include "host_api.h"
#include "image_io.h"
#include "plugin_guard.h"
#include "procedural.h"
#include "stamp_file.h"

namespace lumatrice {
namespace {

// A closable hand-over between two threads; the buffer pool bounds its size.
template <typename T>
class Channel {
 public:
  void Push(T v) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(v));
    }
    cv_.notify_one();
  }
  // Blocks until an item arrives or the channel is closed and empty.
  std::optional<T> Pop() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return !items_.empty() || closed_; });
    if (items_.empty()) return std::nullopt;
    T v = std::move(items_.front());
    items_.pop_front();
    return v;
  }
  void Close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<T> items_;
  bool closed_ = false;
};

struct Slot {
  std::size_t index = 0;  // position in the render order
  bool lead = false;      // a prepended slate: written before frame `index`
  int frame = 0;
  FrameBuffer* buffer = nullptr;
  Status read;            // the source's word on the frame
};

// Where a slot's file comes in the run's output, a prepended slate first.
std::size_t RenderOrder(const Slot& slot) { return slot.index * 2 + (slot.lead ? 0 : 1); }

class AbortCheck : public CheckAbortCallback {
 public:
  AbortCheck(CancelFlags& cancel, std::atomic<bool>& halt, PipelineObserver* observer)
      : cancel_(cancel), halt_(halt), observer_(observer) {}
  BOOL Check() override { return cancel_.stop.load() || halt_.load(); }
  BOOL Progress(int done, int total) override {
    if (observer_) observer_->RowProgress(done, total);
    return TRUE;
  }
  void SetTitle(const char*) override {}

 private:
  CancelFlags& cancel_;
  std::atomic<bool>& halt_;
  PipelineObserver* observer_;
};

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the calling thread: unlike the wall clock, it leaves out the
// time the thread waits for a core while the reader and writers run.
double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

void PrintStageTimes(const PipelineResult& r) {
  const int frames = std::max(r.applied, 1);
  std::fprintf(stderr,
               "lumatrice: stage times: read %.2f ms/frame, apply %.3f ms/frame "
               "(slowest %.2f ms; CPU %.3f ms/frame, slowest %.2f ms), write %.2f ms/frame, "
               "%d frames applied, %d written (%d spliced: %ld blocks copied, %ld encoded; "
               "%d whole)\n",
               1e3 * r.read_seconds / frames, 1e3 * r.apply_seconds / frames,
               1e3 * r.slowest_apply_seconds, 1e3 * r.apply_cpu_seconds / frames,
               1e3 * r.slowest_apply_cpu_seconds,
               1e3 * r.write_seconds / std::max(r.written, 1), r.applied, r.written, r.spliced,
               r.blocks_copied, r.blocks_encoded, r.whole);
}

// What the reader, the applying thread and the writers share: the buffer
// pool, the hand-overs between them and the result.
class Stages {
 public:
  Stages(const PipelineOptions& options, CancelFlags& cancel, PipelineObserver* observer,
         PipelineResult& result);

  const PipelineOptions& options;
  CancelFlags& cancel;
  PipelineObserver* observer;
  PipelineResult& result;
  int writers = 1;
  std::vector<std::unique_ptr<FrameBuffer>> pool;
  Channel<FrameBuffer*> free_buffers;
  Channel<Slot> ready, done;
  std::atomic<bool> halt{false};  // a failure elsewhere: stop everything
  std::atomic<bool> stop_reading{false};
  std::mutex result_mutex;
  double read_seconds = 0;  // the reader's own; read after it is joined

  bool Stopped() const { return cancel.stop || halt; }
  // A failure that stops everything. Writers fail in parallel: of their
  // failures, the earliest frame's is told.
  void Fail(const std::string& why, std::size_t write_order = SIZE_MAX);
  // A failure that ends the run after the frames applied before it, which
  // are still written.
  void EndRun(const std::string& why);

  void Read(FrameSource& source);  // the reader thread
  void Write();                    // a writer thread

 private:
  void WriteSlot(const Slot& slot);
  std::size_t failed_write_ = SIZE_MAX;
  std::size_t first_index_ = 0, last_index_ = 0;
};

Stages::Stages(const PipelineOptions& options, CancelFlags& cancel, PipelineObserver* observer,
               PipelineResult& result)
    : options(options), cancel(cancel), observer(observer), result(result) {
  // Encoding (zlib, EXR compression) is the slow stage: frames are
  // independent files, so several are written at once.
  writers = options.sink          ? 1
            : options.writers > 0 ? options.writers
                                  : std::clamp(int(std::thread::hardware_concurrency()), 1, 8);
  const int pool_size = options.buffers > 0 ? std::max(2, options.buffers) : writers + 3;
  for (int i = 0; i < pool_size; ++i) {
    pool.push_back(std::make_unique<FrameBuffer>());
    free_buffers.Push(pool.back().get());
  }
}

void Stages::Fail(const std::string& why, std::size_t write_order) {
  std::lock_guard lock(result_mutex);
  if (!result.failed || (failed_write_ != SIZE_MAX && write_order < failed_write_)) {
    result.failed = true;
    result.error = why;
    failed_write_ = write_order;
  }
  halt = true;
}

void Stages::EndRun(const std::string& why) {
  std::lock_guard lock(result_mutex);
  if (!result.failed) result.failed = true, result.error = why;
}

void Stages::Read(FrameSource& source) {
  for (std::size_t index = 0; index < options.frames.size(); ++index) {
    const int frame = options.frames[index];
    if (Stopped() || stop_reading) break;
    std::optional<FrameBuffer*> buffer = free_buffers.Pop();
    if (!buffer || stop_reading) break;
    Slot slot;
    slot.index = index;
    slot.frame = frame;
    slot.buffer = *buffer;
    const auto read_start = Clock::now();
    slot.read = source.Fill(frame, **buffer);
    read_seconds += Since(read_start);
    (*buffer)->frame = frame;
    const bool ok = slot.read.ok();
    ready.Push(std::move(slot));
    if (!ok && !options.skip_bad_frames) break;
  }
  ready.Close();
}

void Stages::Write() {
  while (std::optional<Slot> slot = done.Pop()) {
    if (!halt && !cancel.abort_writes) WriteSlot(*slot);
    free_buffers.Push(slot->buffer);
  }
}

void Stages::WriteSlot(const Slot& slot) {
  const std::string path = options.output.FileFor(slot.frame);
  const auto write_start = Clock::now();
  WriteOptions write;
  write.cancel = &cancel.abort_writes;
  write.allow_splice = !options.full_reencode;
  WriteReport report;
  const Status written = options.sink ? options.sink->Write(slot.frame, *slot.buffer)
                                      : WriteFrame(path, *slot.buffer, write, &report);
  const double write_seconds = Since(write_start);
  {
    std::lock_guard lock(result_mutex);
    result.write_seconds += write_seconds;
    if (written) {
      ++(report.spliced ? result.spliced : result.whole);
      result.blocks_copied += report.blocks.copied;
      result.blocks_encoded += report.blocks.encoded;
      ++result.written;
      // In render order, whichever writer finishes first.
      const std::size_t order = RenderOrder(slot);
      if (result.first_written.empty() || order < first_index_)
        result.first_written = path, first_index_ = order;
      if (result.last_written.empty() || order > last_index_)
        result.last_written = path, last_index_ = order;
    }
  }
  if (written) {
    if (observer) observer->FrameWritten(slot.frame, path);
  } else if (!cancel.abort_writes) {
    Fail("cannot write frame " + std::to_string(slot.frame) + ": " + written.message(),
         RenderOrder(slot));
  }
}

// The applying thread's part: every effect on each frame in render order,
// the pre-render notification and the prepended slate, between the
// effects' RenderBegin and RenderEnd.
class Applier {
 public:
  explicit Applier(Stages& stages);
  // Until the reader's frames run out or the run stops. Like an unreadable
  // frame, a module's exception ends the run after the frames applied
  // before it, which are still written; the frame it broke is dropped.
  void Run();
  // RenderEnd for every effect whose RenderBegin returned.
  void End();

 private:
  // False ends the run.
  bool Take(Slot& slot);
  bool PassOver(const Slot& slot);  // a frame the source could not give
  bool Damaged(const Slot& slot, const std::string& damaged);
  bool PrependSlate(const Slot& slot);
  // The frame's colour step goes around its effects (and counts as apply
  // time); not ok: not applied.
  Status Apply(FrameBuffer* buffer);

  Stages& s_;
  const int tpf_;
  const TimeValue first_time_;
  TimeValue t_, last_time_;
  // What a throwing notification callback is matched against.
  const std::vector<Animatable*> owners_;
  std::size_t begun_ = 0;
  AbortCheck check_;
  FrameStorage storage_;
  Bitmap bitmap_;
  bool notified_ = false;
  bool slate_due_ = false;  // the render's first frame was skipped
};

Applier::Applier(Stages& stages)
    : s_(stages),
      tpf_(hostsdk::TicksPerFrame()),
      first_time_(TimeValue(stages.options.frames.front() * tpf_)),
      t_(first_time_),
      last_time_(first_time_),
      owners_(stages.options.effects.begin(), stages.options.effects.end()),
      check_(stages.cancel, stages.halt, stages.observer),
      bitmap_(&storage_) {}

void Applier::Run() {
  try {
    for (Effect* e : s_.options.effects) {
      hostsdk::GuardPluginCall(e, "RenderBegin", [&] { e->RenderBegin(first_time_, 0); });
      ++begun_;
    }
    while (std::optional<Slot> slot = s_.ready.Pop())
      if (!Take(*slot)) break;
  } catch (const hostsdk::PluginFault& f) {
    storage_.Attach(nullptr);
    s_.EndRun(f.what());
  } catch (const std::bad_alloc&) {
    storage_.Attach(nullptr);
    s_.EndRun("out of memory");
  }
}

void Applier::End() {
  for (std::size_t i = 0; i < begun_; ++i) {
    Effect* e = s_.options.effects[i];
    try {
      hostsdk::GuardPluginCall(e, "RenderEnd", [&] { e->RenderEnd(last_time_); });
    } catch (const hostsdk::PluginFault& f) {
      s_.EndRun(f.what());
    }
  }
}

bool Applier::Take(Slot& slot) {
  if (!slot.read) return PassOver(slot);
  if (s_.Stopped()) {
    s_.free_buffers.Push(slot.buffer);
    return false;
  }
  if (s_.observer) s_.observer->FrameApplying(slot.frame);
  // The render's first frame gets the notification, so only the chunk of
  // a farm render that holds it has the slate.
  bool slate_mark = false;
  if ((slot.frame == s_.options.render_start || slate_due_) && !notified_) {
    hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER, nullptr, owners_);
    notified_ = slate_mark = true;
  }
  t_ = TimeValue(slot.frame * tpf_);
  last_time_ = t_;
  if (slate_mark && s_.options.prepend_slate) {
    if (!PrependSlate(slot)) return false;
    slate_mark = false;
  }
  PipelineHooks* hooks = s_.options.hooks;
  if (hooks) hooks->BeforeApply(slot.frame, t_, *slot.buffer, slate_mark);
  const Status applied = Apply(slot.buffer);
  s_.result.width = slot.buffer->width();
  s_.result.height = slot.buffer->height();
  // A lazy frame finds a damaged block only when a row needs it.
  if (const std::string damaged = applied ? slot.buffer->BlockError() : applied.message();
      !damaged.empty())
    return Damaged(slot, damaged);
  if (s_.Stopped()) {
    // A merge cut short leaves a half-stamped frame: never written.
    s_.free_buffers.Push(slot.buffer);
    return false;
  }
  if (hooks) hooks->AfterApply(slot.frame, t_, *slot.buffer);
  ++s_.result.applied;
  s_.done.Push(std::move(slot));
  return true;
}

bool Applier::PassOver(const Slot& slot) {
  s_.free_buffers.Push(slot.buffer);
  if (s_.options.skip_bad_frames && !s_.Stopped()) {
    s_.result.skipped.push_back(slot.frame);
    if (slot.frame == s_.options.render_start && !notified_) slate_due_ = true;
    if (s_.observer) s_.observer->FrameSkipped(slot.frame, slot.read.message());
    return true;
  }
  // Unlike a failed write, a frame that cannot be read ends the run after
  // the frames before it, which are applied and still written.
  if (!s_.cancel.stop) s_.EndRun(slot.read.message());
  return false;
}

bool Applier::Damaged(const Slot& slot, const std::string& damaged) {
  const std::string why =
      "input frame " + std::to_string(slot.frame) + " is damaged (" + damaged + ")";
  s_.free_buffers.Push(slot.buffer);
  if (s_.options.skip_bad_frames && !s_.Stopped()) {
    s_.result.skipped.push_back(slot.frame);
    if (s_.observer) s_.observer->FrameSkipped(slot.frame, why);
    return true;
  }
  s_.Fail(why);
  return false;
}

bool Applier::PrependSlate(const Slot& slot) {
  // The copy joins the pool once written; this happens once per run.
  try {
    s_.pool.push_back(std::make_unique<FrameBuffer>(*slot.buffer));
  } catch (const std::bad_alloc&) {
    s_.Fail("no memory for the copy of frame " + std::to_string(slot.frame) +
            " that takes the slate");
    s_.free_buffers.Push(slot.buffer);
    return false;
  }
  Slot slate;
  slate.index = slot.index;
  slate.lead = true;
  slate.frame = s_.options.render_start - 1;
  slate.buffer = s_.pool.back().get();
  slate.buffer->frame = slate.frame;
  PipelineHooks* hooks = s_.options.hooks;
  if (hooks) hooks->BeforeApply(slate.frame, t_, *slate.buffer, true);
  if (Status applied = Apply(slate.buffer); !applied) {
    s_.Fail("input frame " + std::to_string(slot.frame) + " is damaged (" + applied.message() +
            ")");
    s_.free_buffers.Push(slot.buffer);
    return false;
  }
  if (s_.Stopped()) {
    s_.free_buffers.Push(slot.buffer);
    return false;
  }
  if (hooks) hooks->AfterApply(slate.frame, t_, *slate.buffer);
  s_.done.Push(std::move(slate));
  return true;
}

Status Applier::Apply(FrameBuffer* buffer) {
  const auto start = Clock::now();
  const double cpu_start = ThreadSeconds();
  FrameTransform* transform = s_.options.transform;
  if (transform)
    if (Status s = transform->Before(*buffer); !s) return s;
  storage_.Attach(buffer);
  for (Effect* e : s_.options.effects)
    hostsdk::GuardPluginCall(e, "Apply", [&] { e->Apply(t_, &bitmap_, nullptr, &check_); });
  if (transform) transform->After(*buffer);
  const double cpu = ThreadSeconds() - cpu_start;
  const double took = Since(start);
  storage_.Attach(nullptr);
  // Written by this thread only; the writers lock result_mutex for theirs.
  PipelineResult& r = s_.result;
  r.apply_seconds += took;
  r.slowest_apply_seconds = std::max(r.slowest_apply_seconds, took);
  r.apply_cpu_seconds += cpu;
  r.slowest_apply_cpu_seconds = std::max(r.slowest_apply_cpu_seconds, cpu);
  return Status::Ok();
}

// Every frame's time within the host's range.
Status CheckTimes(const std::vector<int>& frames) {
  const int tpf = hostsdk::TicksPerFrame();
  for (int f : frames) {
    const std::int64_t t = std::int64_t(f) * tpf;
    if (t < INT32_MIN + 1 || t > INT32_MAX)
      return Status::Failed("frame " + std::to_string(f) + " lies beyond the host's time range");
  }
  return Status::Ok();
}

}  // namespace

Status ProceduralSource::Fill(int frame, FrameBuffer& buffer) {
  const double seconds = double(frame) / fps_;
  if (!RenderProceduralFrame(buffer, width_, height_, seconds))
    return Status::Failed("cannot render a " + std::to_string(width_) + "x" +
                          std::to_string(height_) + " frame (out of memory?)");
  return Status::Ok();
}

Status SequenceSource::Fill(int frame, FrameBuffer& buffer) {
  ReadOptions options;
  options.lazy = lazy_;
  return ReadStampFrame(input_.FileFor(frame), buffer, options);
}

PipelineResult RunPipeline(const PipelineOptions& options, FrameSource& source,
                           CancelFlags& cancel, PipelineObserver* observer) {
  PipelineResult result;
  const auto started = Clock::now();
  if (const Status times = CheckTimes(options.frames); !times) {
    result.failed = true;
    result.error = times.message();
    return result;
  }
  if (options.frames.empty()) return result;

  Stages stages(options, cancel, observer, result);
  std::thread reader([&] { stages.Read(source); });
  std::vector<std::thread> writer_threads;
  for (int i = 0; i < stages.writers; ++i) writer_threads.emplace_back([&] { stages.Write(); });
  Applier applier(stages);
  applier.Run();
  // Unblock the reader wherever it waits, then drain.
  stages.stop_reading = true;
  stages.free_buffers.Close();
  reader.join();
  result.read_seconds = stages.read_seconds;
  stages.done.Close();
  for (std::thread& w : writer_threads) w.join();
  applier.End();

  result.cancelled = !result.failed && result.applied + int(result.skipped.size()) <
                                            int(options.frames.size());
  result.seconds = Since(started);
  if (std::getenv("LUMATRICE_STAGE_TIMES")) PrintStageTimes(result);
  return result;
}

}  // namespace lumatrice
