// Fault injection over whole renders inside one process: the render pipeline
// of the host with the effect linked in. Raster creation failing at each of
// its three steps, and the transfer worker failing to start (or to merge),
// each over a multi-frame render written to disk.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host_api.h"
#include "image_io.h"
#include "lumatrice_effect.h"
#include "param_ids.h"
#include "pipeline.h"
#include "procedural.h"
#include "raster_host.h"
#include "transfer_worker.h"

using namespace lumatrice;
namespace fs = std::filesystem;

namespace {

constexpr int kW = 160, kH = 120, kFps = 30;

// An effect as the host makes and deletes it.
class EffectHandle {
 public:
  EffectHandle() : fx_(new LumatriceEffect) {
    fx_->pblock->SetValue(pb_comments, 0, "reliability");
    fx_->pblock->SetValue(pb_slate_author, 0, "Ada");
  }
  ~EffectHandle() {
    IParamBlock2* block = fx_->pblock;
    fx_->DeleteAllRefs();
    fx_->DeleteThis();
    if (block) block->DeleteThis();
  }
  LumatriceEffect* operator->() { return fx_; }
  LumatriceEffect* get() { return fx_; }

 private:
  LumatriceEffect* fx_;
};

struct Render {
  PipelineResult result;
  std::vector<FrameBuffer> frames;  // as read back from the written files
};

// Renders frames 1..count through the host's pipeline into `dir`.
Render RenderTo(const fs::path& dir, Effect* fx, int count) {
  fs::create_directories(dir);
  PipelineOptions options;
  for (int f = 1; f <= count; ++f) options.frames.push_back(f);
  options.render_start = 1;
  std::string error;
  EXPECT_TRUE(options.output.Parse((dir / "f.#.png").string(), error)) << error;
  options.effects = {fx};
  ProceduralSource source(kW, kH, kFps);
  CancelFlags cancel;
  Render r;
  r.result = RunPipeline(options, source, cancel);
  EXPECT_FALSE(r.result.failed) << r.result.error;
  for (int f = 1; f <= r.result.written; ++f) {
    FrameBuffer frame;
    const Status read = ReadFrame(options.output.FileFor(f), frame);
    EXPECT_TRUE(read) << read.message();
    r.frames.push_back(std::move(frame));
  }
  return r;
}

// The picture as rendered, before any effect.
FrameBuffer Rendered(int f) {
  FrameBuffer frame;
  EXPECT_TRUE(RenderProceduralFrame(frame, kW, kH, double(f) / kFps));
  return frame;
}

bool SamePixels(const FrameBuffer& a, const FrameBuffer& b) {
  if (a.width() != b.width() || a.height() != b.height() || a.row_bytes() != b.row_bytes())
    return false;
  for (int y = 0; y < a.height(); ++y)
    if (std::memcmp(a.row(y), b.row(y), a.row_bytes()) != 0) return false;
  return true;
}

// Red sample of (x, y) in an 8-bit RGB frame.
int Red(const FrameBuffer& f, int x, int y) {
  return int(std::to_integer<unsigned>(f.row(y)[f.pixel_bytes() * x]));
}

class FaultRender : public ::testing::Test {
 protected:
  void SetUp() override {
    hostsdk::ResetHost();
    textraster::ClearRasterFaults();
    textraster::ResetMessageBoxCount();
    textraster::SetMessageBoxHandler([this](const char* text, const char* caption, UINT type) {
      notices.push_back(std::string(caption) + "|" + text + "|" + std::to_string(type));
      return 1;
    });
    textraster::PinLocalTime(SYSTEMTIME{2002, 3, 4, 7, 9, 5, 3, 0});
    dir_ = fs::temp_directory_path() /
           ("lumatrice_rel_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    textraster::SetMessageBoxHandler(nullptr);
    textraster::ClearRasterFaults();
    textraster::UnpinLocalTime();
    SetTransferWorkerFault(WorkerFault::none);
    EXPECT_EQ(textraster::LiveContexts(), 0);
    EXPECT_EQ(textraster::LiveBitmaps(), 0);
    if (!HasFailure()) fs::remove_all(dir_);
  }
  std::vector<std::string> notices;
  fs::path dir_;
};

TEST_F(FaultRender, RasterStepFailingEveryFrameGivesOneNoticePerFrameAndFramesAsRendered) {
  struct Case {
    textraster::RasterStep step;
    const char* message;
  };
  const Case cases[] = {
      {textraster::RasterStep::kScreenContext, "Unable to create device context for screen."},
      {textraster::RasterStep::kMemoryContext, "Unable to create memory device context."},
      {textraster::RasterStep::kBitmap, "Unable to create compatible bitmap."},
  };
  constexpr int kFrames = 4;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    notices.clear();
    EffectHandle fx;
    textraster::FailRasterStep(c.step);
    const Render r = RenderTo(dir_ / c.message, fx.get(), kFrames);
    textraster::ClearRasterFaults();

    ASSERT_FALSE(r.result.failed) << r.result.error;
    ASSERT_EQ(r.result.written, kFrames);
    EXPECT_EQ(notices, std::vector<std::string>(kFrames, std::string("Lumatrice|") + c.message +
                                                             "|" + std::to_string(MB_OK)));
    for (int f = 1; f <= kFrames; ++f)
      EXPECT_TRUE(SamePixels(r.frames[f - 1], Rendered(f))) << "frame " << f << " was changed";
    // The slate was due on frame 1 and is not put off to a later frame.
    EXPECT_EQ(fx->slate_mark, 0);
  }
}

TEST_F(FaultRender, RasterFailingOnTheSlateFrameUsesUpTheSlate) {
  for (auto step : {textraster::RasterStep::kScreenContext, textraster::RasterStep::kMemoryContext,
                    textraster::RasterStep::kBitmap}) {
    SCOPED_TRACE(int(step));
    notices.clear();
    EffectHandle fx;
    textraster::FailRasterStep(step, 1);  // only the first frame's raster
    const Render r = RenderTo(dir_ / std::to_string(int(step)), fx.get(), 3);
    ASSERT_EQ(r.result.written, 3);
    EXPECT_EQ(notices.size(), 1u);
    EXPECT_TRUE(SamePixels(r.frames[0], Rendered(1)));
    // Frame 2 has the every-frame captions, not the slate.
    const FrameBuffer& second = r.frames[1];
    EXPECT_EQ(Red(second, kW / 2, 2), 0x3C);  // header box
    EXPECT_EQ(Red(second, 0, kH / 2), Red(Rendered(2), 0, kH / 2));
    EXPECT_NE(Red(second, 0, 0), 0x40);
  }
}

TEST_F(FaultRender, WorkerFailingFallsBackToTheSingleThreadMergeWithIdenticalFrames) {
  constexpr int kFrames = 3;
  Render reference;
  {
    EffectHandle fx;
    ASSERT_TRUE(TransferWorkerAvailable());
    reference = RenderTo(dir_ / "reference", fx.get(), kFrames);
    ASSERT_EQ(reference.result.written, kFrames);
    EXPECT_EQ(Red(reference.frames[0], 0, 0), 0x40);  // the slate, merged on two threads
  }
  struct Case {
    const char* what;
    WorkerFault fault;
    bool worker_runs;
  };
  const Case cases[] = {
      {"start event", WorkerFault::start_event, false},
      {"done event", WorkerFault::done_event, false},
      {"job mutex", WorkerFault::job_mutex, false},
      {"raster lock", WorkerFault::raster_lock, false},
      {"thread", WorkerFault::thread, false},
      {"worker row buffers", WorkerFault::worker_row_buffers, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetTransferWorkerFault(c.fault);
    {
      EffectHandle fx;
      EXPECT_EQ(TransferWorkerAvailable(), c.worker_runs);
      EXPECT_EQ(TransferWorkerObjectsHeld(), c.worker_runs ? 5 : 0);
      const Render r = RenderTo(dir_ / c.what, fx.get(), kFrames);
      ASSERT_EQ(r.result.written, kFrames);
      for (int f = 0; f < kFrames; ++f)
        EXPECT_TRUE(SamePixels(r.frames[f], reference.frames[f])) << "frame " << f + 1;
    }
    SetTransferWorkerFault(WorkerFault::none);
    EXPECT_EQ(TransferWorkersAlive(), 0);
  }
}

}  // namespace
