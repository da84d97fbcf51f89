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
  bool ok = true;
  std::string error;
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

}  // namespace

bool ProceduralSource::Fill(int frame, FrameBuffer& buffer, std::string& error) {
  const double seconds = double(frame) / fps_;
  if (!RenderProceduralFrame(buffer, width_, height_, seconds)) {
    error = "cannot render a " + std::to_string(width_) + "x" + std::to_string(height_) +
            " frame (out of memory?)";
    return false;
  }
  return true;
}

bool SequenceSource::Fill(int frame, FrameBuffer& buffer, std::string& error) {
  ReadOptions options;
  options.lazy = lazy_;
  return ReadStampFrame(input_.FileFor(frame), buffer, error, options) == StampFault::kNone;
}

PipelineResult RunPipeline(const PipelineOptions& options, FrameSource& source,
                           CancelFlags& cancel, PipelineObserver* observer) {
  PipelineResult result;
  const auto started = Clock::now();
  const int tpf = hostsdk::TicksPerFrame();
  for (int f : options.frames) {
    const std::int64_t t = std::int64_t(f) * tpf;
    if (t < INT32_MIN + 1 || t > INT32_MAX) {
      result.failed = true;
      result.error = "frame " + std::to_string(f) + " lies beyond the host's time range";
      return result;
    }
  }
  if (options.frames.empty()) return result;

  // Encoding (zlib, EXR compression) is the slow stage: frames are
  // independent files, so several are written at once.
  const int writers = options.sink ? 1
                      : options.writers > 0
                          ? options.writers
                          : std::clamp(int(std::thread::hardware_concurrency()), 1, 8);
  const int pool_size = options.buffers > 0 ? std::max(2, options.buffers) : writers + 3;
  std::vector<std::unique_ptr<FrameBuffer>> pool;
  Channel<FrameBuffer*> free_buffers;
  for (int i = 0; i < pool_size; ++i) {
    pool.push_back(std::make_unique<FrameBuffer>());
    free_buffers.Push(pool.back().get());
  }
  Channel<Slot> ready, done;
  std::atomic<bool> halt{false};  // a failure elsewhere: stop everything
  std::atomic<bool> stop_reading{false};
  std::mutex result_mutex;
  std::size_t first_index = 0, last_index = 0;
  // Writers fail in parallel: of their failures, the earliest frame's is told.
  std::size_t failed_write = SIZE_MAX;
  auto fail = [&](const std::string& why, std::size_t write_order = SIZE_MAX) {
    std::lock_guard lock(result_mutex);
    if (!result.failed || (failed_write != SIZE_MAX && write_order < failed_write)) {
      result.failed = true;
      result.error = why;
      failed_write = write_order;
    }
    halt = true;
  };

  double read_seconds = 0;  // the reader's own; read after it is joined
  std::thread reader([&] {
    for (std::size_t index = 0; index < options.frames.size(); ++index) {
      const int frame = options.frames[index];
      if (cancel.stop || halt || stop_reading) break;
      std::optional<FrameBuffer*> buffer = free_buffers.Pop();
      if (!buffer || stop_reading) break;
      Slot slot;
      slot.index = index;
      slot.frame = frame;
      slot.buffer = *buffer;
      const auto read_start = Clock::now();
      slot.ok = source.Fill(frame, **buffer, slot.error);
      read_seconds += Since(read_start);
      (*buffer)->frame = frame;
      const bool ok = slot.ok;
      ready.Push(std::move(slot));
      if (!ok && !options.skip_bad_frames) break;
    }
    ready.Close();
  });

  auto write_frames = [&] {
    while (std::optional<Slot> slot = done.Pop()) {
      if (!halt && !cancel.abort_writes) {
        const std::string path = options.output.FileFor(slot->frame);
        std::string error;
        const auto write_start = Clock::now();
        WriteReport report;
        const bool written =
            options.sink ? options.sink->Write(slot->frame, *slot->buffer, error)
                         : WriteFrame(path, *slot->buffer, error, &cancel.abort_writes,
                                      !options.full_reencode, &report);
        const double write_seconds = Since(write_start);
        {
          std::lock_guard lock(result_mutex);
          result.write_seconds += write_seconds;
          if (written) {
            ++(report.spliced ? result.spliced : result.whole);
            result.blocks_copied += report.blocks.copied;
            result.blocks_encoded += report.blocks.encoded;
          }
        }
        if (written) {
          {
            std::lock_guard lock(result_mutex);
            ++result.written;
            // In render order, whichever writer finishes first.
            const std::size_t order = RenderOrder(*slot);
            if (result.first_written.empty() || order < first_index)
              result.first_written = path, first_index = order;
            if (result.last_written.empty() || order > last_index)
              result.last_written = path, last_index = order;
          }
          if (observer) observer->FrameWritten(slot->frame, path);
        } else if (!cancel.abort_writes) {
          fail("cannot write frame " + std::to_string(slot->frame) + ": " + error,
               RenderOrder(*slot));
        }
      }
      free_buffers.Push(slot->buffer);
    }
  };
  std::vector<std::thread> writer_threads;
  for (int i = 0; i < writers; ++i) writer_threads.emplace_back(write_frames);

  const TimeValue first_time = TimeValue(options.frames.front() * tpf);
  TimeValue last_time = first_time;
  // What a throwing notification callback is matched against.
  const std::vector<Animatable*> owners(options.effects.begin(), options.effects.end());
  std::size_t begun = 0;  // effects whose RenderBegin returned
  // Like an unreadable frame, a module's exception ends the run after the
  // frames applied before it, which are still written; the frame it broke
  // is dropped.
  auto end_run = [&](const std::string& why) {
    std::lock_guard lock(result_mutex);
    if (!result.failed) result.failed = true, result.error = why;
  };

  AbortCheck check(cancel, halt, observer);
  FrameStorage storage;
  Bitmap bitmap(&storage);
  bool notified = false;
  bool slate_due = false;  // the render's first frame was skipped
  TimeValue t = first_time;
  // The frame's colour step goes around its effects (and counts as apply
  // time); not ok: not applied.
  auto apply_effects = [&](FrameBuffer& frame) -> Status {
    const auto start = Clock::now();
    const double cpu_start = ThreadSeconds();
    if (options.transform)
      if (Status s = options.transform->Before(frame); !s.ok()) return s;
    storage.Attach(&frame);
    for (Effect* e : options.effects)
      hostsdk::GuardPluginCall(e, "Apply", [&] { e->Apply(t, &bitmap, nullptr, &check); });
    if (options.transform) options.transform->After(frame);
    const double cpu = ThreadSeconds() - cpu_start;
    const double took = Since(start);
    // Written by this thread only; the writers lock result_mutex for theirs.
    result.apply_seconds += took;
    result.slowest_apply_seconds = std::max(result.slowest_apply_seconds, took);
    result.apply_cpu_seconds += cpu;
    result.slowest_apply_cpu_seconds = std::max(result.slowest_apply_cpu_seconds, cpu);
    storage.Attach(nullptr);
    return Status::Ok();
  };
  try {
    for (Effect* e : options.effects) {
      hostsdk::GuardPluginCall(e, "RenderBegin", [&] { e->RenderBegin(first_time, 0); });
      ++begun;
    }
    while (std::optional<Slot> slot = ready.Pop()) {
      if (!slot->ok) {
        free_buffers.Push(slot->buffer);
        if (options.skip_bad_frames && !cancel.stop && !halt) {
          result.skipped.push_back(slot->frame);
          if (slot->frame == options.render_start && !notified) slate_due = true;
          if (observer) observer->FrameSkipped(slot->frame, slot->error);
          continue;
        }
        if (!cancel.stop) {
          // Unlike a failed write, a frame that cannot be read ends the run
          // after the frames before it, which are applied and still written.
          std::lock_guard lock(result_mutex);
          if (!result.failed) result.failed = true, result.error = slot->error;
        }
        break;
      }
      if (cancel.stop || halt) {
        free_buffers.Push(slot->buffer);
        break;
      }
      if (observer) observer->FrameApplying(slot->frame);
      // The render's first frame gets the notification, so only the chunk of
      // a farm render that holds it has the slate.
      bool slate_mark = false;
      if ((slot->frame == options.render_start || slate_due) && !notified) {
        hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER, nullptr, owners);
        notified = slate_mark = true;
      }
      t = TimeValue(slot->frame * tpf);
      last_time = t;
      if (slate_mark && options.prepend_slate) {
        // The copy joins the pool once written; this happens once per run.
        try {
          pool.push_back(std::make_unique<FrameBuffer>(*slot->buffer));
        } catch (const std::bad_alloc&) {
          fail("no memory for the copy of frame " + std::to_string(slot->frame) +
               " that takes the slate");
          free_buffers.Push(slot->buffer);
          break;
        }
        Slot slate;
        slate.index = slot->index;
        slate.lead = true;
        slate.frame = options.render_start - 1;
        slate.buffer = pool.back().get();
        slate.buffer->frame = slate.frame;
        if (options.hooks) options.hooks->BeforeApply(slate.frame, t, *slate.buffer, true);
        if (Status s = apply_effects(*slate.buffer); !s.ok()) {
          fail("input frame " + std::to_string(slot->frame) + " is damaged (" + s.message() + ")");
          free_buffers.Push(slot->buffer);
          break;
        }
        if (cancel.stop || halt) {
          free_buffers.Push(slot->buffer);
          break;
        }
        if (options.hooks) options.hooks->AfterApply(slate.frame, t, *slate.buffer);
        done.Push(std::move(slate));
        slate_mark = false;
      }
      if (options.hooks) options.hooks->BeforeApply(slot->frame, t, *slot->buffer, slate_mark);
      const Status applied = apply_effects(*slot->buffer);
      result.width = slot->buffer->width();
      result.height = slot->buffer->height();
      // A lazy frame finds a damaged block only when a row needs it.
      if (const std::string damaged = applied.ok() ? slot->buffer->BlockError() : applied.message();
          !damaged.empty()) {
        const std::string why =
            "input frame " + std::to_string(slot->frame) + " is damaged (" + damaged + ")";
        free_buffers.Push(slot->buffer);
        if (options.skip_bad_frames && !cancel.stop && !halt) {
          result.skipped.push_back(slot->frame);
          if (observer) observer->FrameSkipped(slot->frame, why);
          continue;
        }
        fail(why);
        break;
      }
      if (cancel.stop || halt) {
        // A merge cut short leaves a half-stamped frame: never written.
        free_buffers.Push(slot->buffer);
        break;
      }
      if (options.hooks) options.hooks->AfterApply(slot->frame, t, *slot->buffer);
      ++result.applied;
      done.Push(std::move(*slot));
    }
  } catch (const hostsdk::PluginFault& f) {
    storage.Attach(nullptr);
    end_run(f.what());
  } catch (const std::bad_alloc&) {
    storage.Attach(nullptr);
    end_run("out of memory");
  }
  // Unblock the reader wherever it waits, then drain.
  stop_reading = true;
  free_buffers.Close();
  reader.join();
  result.read_seconds = read_seconds;
  done.Close();
  for (std::thread& w : writer_threads) w.join();
  for (std::size_t i = 0; i < begun; ++i) {
    Effect* e = options.effects[i];
    try {
      hostsdk::GuardPluginCall(e, "RenderEnd", [&] { e->RenderEnd(last_time); });
    } catch (const hostsdk::PluginFault& f) {
      end_run(f.what());
    }
  }

  result.cancelled = !result.failed && result.applied + int(result.skipped.size()) <
                                            int(options.frames.size());
  result.seconds = Since(started);
  if (std::getenv("LUMATRICE_STAGE_TIMES")) PrintStageTimes(result);
  return result;
}

}  // namespace lumatrice
