// The road of a render: frames come from a source (the procedural renderer or
// an image sequence) on a reader thread, every effect of the scene is applied
// on this thread in frame order, and writer threads store the results. The
// stages overlap through queues over a fixed pool of frame buffers, so no
// frame costs a fresh frame-sized allocation.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "frame_buffer.h"
#include "frame_transform.h"
#include "host_sdk.h"
#include "sequence.h"
#include "status.h"

namespace lumatrice {

// Fills a frame buffer for one frame; runs on the reader thread.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual Status Fill(int frame, FrameBuffer& buffer) = 0;
};

class ProceduralSource : public FrameSource {
 public:
  ProceduralSource(int width, int height, int fps) : width_(width), height_(height), fps_(fps) {}
  Status Fill(int frame, FrameBuffer& buffer) override;

 private:
  int width_, height_, fps_;
};

// With `lazy`, frames whose layout allows it are read as blocks (see
// ReadFrame), so that writes can splice them.
class SequenceSource : public FrameSource {
 public:
  explicit SequenceSource(SequencePattern input, bool lazy = false)
      : input_(std::move(input)), lazy_(lazy) {}
  Status Fill(int frame, FrameBuffer& buffer) override;

 private:
  SequencePattern input_;
  bool lazy_;
};

// Takes the applied frames in render order, a prepended slate first, on one
// writer thread: a movie, where frames are not files of their own.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  virtual Status Write(int frame, FrameBuffer& buffer) = 0;
};

// What the pipeline reports as it goes; called from its threads.
class PipelineObserver {
 public:
  virtual ~PipelineObserver() = default;
  virtual void FrameApplying(int /*frame*/) {}
  virtual void RowProgress(int /*done*/, int /*total*/) {}
  virtual void FrameWritten(int /*frame*/, const std::string& /*path*/) {}
  // A frame the source could not give, passed over (skip_bad_frames).
  virtual void FrameSkipped(int /*frame*/, const std::string& /*why*/) {}
};

// Host work around each apply call, on the thread that applies the effects.
class PipelineHooks {
 public:
  virtual ~PipelineHooks() = default;
  // Before the effects run on `buffer`, which is written as `frame`;
  // `slate_mark` when the pre-render notification came just before.
  virtual void BeforeApply(int /*frame*/, TimeValue /*t*/, const FrameBuffer& /*buffer*/,
                           bool /*slate_mark*/) {}
  // After they ran, before the frame goes to the writers.
  virtual void AfterApply(int /*frame*/, TimeValue /*t*/, FrameBuffer& /*buffer*/) {}
};

// Cancel requests: `stop` ends the run after the frame being written; the
// frame being applied is dropped. `abort_writes` also stops writes in flight.
struct CancelFlags {
  std::atomic<bool> stop{false};
  std::atomic<bool> abort_writes{false};
};

struct PipelineOptions {
  std::vector<int> frames;     // in the order they are rendered
  int render_start = 0;        // the pre-render notification goes before this frame
  SequencePattern output;
  std::vector<Effect*> effects;  // applied in this order
  int writers = 0;             // 0: one per core (at most 8)
  int buffers = 0;             // frames in flight; 0: writers + 3
  // The slate goes on a copy of the render's first frame, applied right after
  // the pre-render notification and written as the frame before it; the
  // first frame itself then gets its captions.
  bool prepend_slate = false;
  // A frame the source cannot give is passed over instead of ending the run.
  // Should that be the render's first frame, the slate goes on the next one
  // (still written as render_start - 1 when prepended).
  bool skip_bad_frames = false;
  PipelineHooks* hooks = nullptr;
  // Every frame encoded whole, even where its unchanged blocks could be
  // copied.
  bool full_reencode = false;
  // Frames go here instead of to `output`'s files (which then names the
  // one file the sink writes).
  FrameSink* sink = nullptr;
  // Around every apply (the colour the effects draw in); null: none.
  FrameTransform* transform = nullptr;
};

struct PipelineResult {
  int applied = 0;
  int written = 0;
  std::vector<int> skipped;  // frames passed over, in render order
  bool cancelled = false;
  bool failed = false;
  std::string error;       // first failure
  std::string first_written, last_written;
  int width = 0, height = 0;
  double seconds = 0;
  // Busy time per stage, summed over frames (and over writer threads):
  // what each stage costs, whether or not the stages overlapped.
  double read_seconds = 0, apply_seconds = 0, write_seconds = 0;
  double slowest_apply_seconds = 0;  // one frame's effects, the slate's as a rule
  // The same on the applying thread's CPU clock (a split slate merge's worker
  // half not included).
  double apply_cpu_seconds = 0, slowest_apply_cpu_seconds = 0;
  // How the written frames were written: spliced (blocks copied or encoded
  // again) or encoded whole.
  int spliced = 0, whole = 0;
  long blocks_copied = 0, blocks_encoded = 0;
};

// Runs the whole render. TimeValue of frame f is f * TicksPerFrame().
// With LUMATRICE_STAGE_TIMES set in the environment, the stage times go to
// stderr at the end (bench/peers.sh reads them).
PipelineResult RunPipeline(const PipelineOptions& options, FrameSource& source,
                           CancelFlags& cancel, PipelineObserver* observer = nullptr);

}  // namespace lumatrice
