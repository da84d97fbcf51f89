// The render's progress display on stderr: on a terminal a live bar (frames
// done, frames per second, time left), otherwise a plain line every few
// seconds. Notices from effects are printed as whole lines above the bar.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "host_session.h"
#include "pipeline.h"

namespace lumatrice {

class ProgressDisplay : public PipelineObserver, public NoticeSink {
 public:
  // `enabled` false prints nothing but notices.
  ProgressDisplay(int total_frames, bool enabled);

  void FrameApplying(int frame) override;
  void RowProgress(int done, int total) override;
  void FrameWritten(int frame, const std::string& path) override;
  void FrameSkipped(int frame, const std::string& why) override;

  // One line on stderr, never interleaved with the bar.
  void Notice(const std::string& line) override;
  // Clears the bar; later output starts on a clean line.
  void Finish();

  // Text of the status: "12/60 frames  18.3 fps  0:03 left".
  static std::string Status(int done, int total, double seconds, double partial);

 private:
  void DrawLocked(bool force);

  using Clock = std::chrono::steady_clock;
  std::mutex mutex_;
  int total_;
  bool enabled_;
  bool terminal_;
  int written_ = 0;
  double partial_ = 0;  // fraction of the frame being applied
  bool bar_shown_ = false;
  Clock::time_point start_;
  Clock::time_point last_draw_;
};

}  // namespace lumatrice
