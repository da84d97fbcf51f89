// Message boxes, common-control start-up and the host clock of the stand-in.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>

#include "raster_host.h"
#include "win_gdi.h"

namespace textraster {
namespace {

std::mutex g_box_mutex;
std::shared_ptr<const MessageBoxHandler> g_box_handler;  // null: default
std::atomic<int> g_box_count{0};

std::mutex g_clock_mutex;
std::optional<SYSTEMTIME> g_pinned;
std::atomic<LiveClock> g_live_clock{nullptr};

std::atomic<int> g_common_controls{0};

int DefaultMessageBox(const char* text, const char* caption) {
  std::fprintf(stderr, "%s: %s\n", caption, text);
  return 1;  // IDOK
}

SYSTEMTIME SystemLocalTime() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&secs, &tm);
  SYSTEMTIME st{};
  st.wYear = WORD(tm.tm_year + 1900);
  st.wMonth = WORD(tm.tm_mon + 1);
  st.wDayOfWeek = WORD(tm.tm_wday);
  st.wDay = WORD(tm.tm_mday);
  st.wHour = WORD(tm.tm_hour);
  st.wMinute = WORD(tm.tm_min);
  st.wSecond = WORD(tm.tm_sec);
  st.wMilliseconds = WORD(ms < 0 ? ms + 1000 : ms);
  return st;
}

SYSTEMTIME LiveLocalTime() {
  const LiveClock clock = g_live_clock.load();
  return clock ? clock() : SystemLocalTime();
}

}  // namespace

bool SetMessageBoxHandler(MessageBoxHandler handler) noexcept {
  std::shared_ptr<const MessageBoxHandler> next;
  if (handler) {
    try {
      next = std::make_shared<const MessageBoxHandler>(std::move(handler));
    } catch (...) {
      return false;
    }
  }
  std::lock_guard lock(g_box_mutex);
  g_box_handler = std::move(next);
  return true;
}

int MessageBoxCount() noexcept { return g_box_count.load(); }
void ResetMessageBoxCount() noexcept { g_box_count.store(0); }

void PinLocalTime(const SYSTEMTIME& time) noexcept {
  std::lock_guard lock(g_clock_mutex);
  g_pinned = time;
}

void UnpinLocalTime() noexcept {
  std::lock_guard lock(g_clock_mutex);
  g_pinned.reset();
}

void SetLiveClock(LiveClock clock) noexcept { g_live_clock.store(clock); }

int InitCommonControlsCount() noexcept { return g_common_controls.load(); }

}  // namespace textraster

using namespace textraster;

extern "C" {

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
  g_box_count.fetch_add(1);
  if (!text) text = "";
  if (!caption) caption = "Error";  // the platform's caption when none is given
  std::shared_ptr<const MessageBoxHandler> handler;
  {
    std::lock_guard lock(g_box_mutex);
    handler = g_box_handler;
  }
  // Called outside the lock: a handler may replace itself or open another box.
  if (!handler) return DefaultMessageBox(text, caption);
  try {
    return (*handler)(text, caption, type);
  } catch (...) {
    return 0;  // a box that could not be shown
  }
}

void InitCommonControls(void) { g_common_controls.fetch_add(1); }

void GetLocalTime(SYSTEMTIME* st) {
  if (!st) return;
  {
    std::lock_guard lock(g_clock_mutex);
    if (g_pinned) {
      *st = *g_pinned;
      return;
    }
  }
  *st = LiveLocalTime();
}

}  // extern "C"
