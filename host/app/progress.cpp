// Progress on stderr: a redrawn bar on terminals, periodic lines elsewhere.
#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace lumatrice {
namespace {
constexpr auto kTerminalInterval = std::chrono::milliseconds(100);
constexpr auto kLogInterval = std::chrono::seconds(5);
constexpr int kBarWidth = 24;
}  // namespace

ProgressDisplay::ProgressDisplay(int total_frames, bool enabled)
    : total_(total_frames),
      enabled_(enabled),
      terminal_(::isatty(STDERR_FILENO) == 1),
      start_(Clock::now()),
      last_draw_(start_) {}

std::string ProgressDisplay::Status(int done, int total, double seconds, double partial) {
  char buf[128];
  const double progress = done + partial;
  const double fps = seconds > 0 ? done / seconds : 0.0;
  std::string left = "--:--";
  if (progress > 0 && total > progress) {
    const long rest = std::lround(seconds / progress * (total - progress));
    std::snprintf(buf, sizeof buf, "%ld:%02ld", rest / 60, rest % 60);
    left = buf;
  } else if (total <= progress) {
    left = "0:00";
  }
  std::snprintf(buf, sizeof buf, "%d/%d frames  %.1f fps  %s left", done, total, fps, left.c_str());
  return buf;
}

void ProgressDisplay::DrawLocked(bool force) {
  if (!enabled_) return;
  const auto now = Clock::now();
  if (!force && now - last_draw_ < (terminal_ ? kTerminalInterval : kLogInterval)) return;
  last_draw_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const std::string status = Status(written_, total_, seconds, partial_);
  if (terminal_) {
    const double fraction = total_ > 0 ? (written_ + partial_) / total_ : 1.0;
    const int filled = std::min(kBarWidth, int(fraction * kBarWidth));
    std::string bar(filled, '#');
    bar.resize(kBarWidth, '-');
    std::fprintf(stderr, "\r[%s] %s\033[K", bar.c_str(), status.c_str());
    bar_shown_ = true;
  } else {
    std::fprintf(stderr, "lumatrice: %s\n", status.c_str());
  }
  std::fflush(stderr);
}

void ProgressDisplay::FrameApplying(int) {
  std::lock_guard lock(mutex_);
  partial_ = 0;
  DrawLocked(false);
}

void ProgressDisplay::RowProgress(int done, int total) {
  std::lock_guard lock(mutex_);
  partial_ = total > 0 ? std::clamp(double(done) / total, 0.0, 1.0) : 0.0;
  DrawLocked(false);
}

void ProgressDisplay::FrameWritten(int, const std::string&) {
  std::lock_guard lock(mutex_);
  ++written_;
  partial_ = 0;
  DrawLocked(terminal_ && written_ == total_);
}

void ProgressDisplay::FrameSkipped(int frame, const std::string& why) {
  {
    std::lock_guard lock(mutex_);
    total_ = std::max(written_, total_ - 1);  // the bar still ends full
  }
  Notice("lumatrice: warning: frame " + std::to_string(frame) + " skipped: " + why);
}

void ProgressDisplay::Notice(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (bar_shown_) std::fputs("\r\033[K", stderr);
  std::fprintf(stderr, "%s\n", line.c_str());
  if (bar_shown_) DrawLocked(true);
  std::fflush(stderr);
}

void ProgressDisplay::Finish() {
  std::lock_guard lock(mutex_);
  if (bar_shown_) std::fputs("\r\033[K", stderr);
  bar_shown_ = false;
  enabled_ = false;
  std::fflush(stderr);
}

}  // namespace lumatrice
