// What the host does around the effects: notices never block and stay on one
// line; progress text; parameter sets by name.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "frame_buffer.h"
#include "host_session.h"
#include "progress.h"
#include "raster_host.h"
#include "win_gdi.h"

using namespace lumatrice;

TEST(HostSession, MessageBoxesBecomeOneLineOnStderr) {
  HostSession host;
  textraster::ResetMessageBoxCount();
  ::testing::internal::CaptureStderr();
  const int answer = MessageBoxA(nullptr, "Unable to create\ncompatible bitmap.", "Lumatrice", MB_OK);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(err, "lumatrice: Lumatrice: Unable to create compatible bitmap.\n");
  EXPECT_EQ(textraster::MessageBoxCount(), 1);
}

TEST(HostSession, NoticesGoAboveTheProgressDisplay) {
  HostSession host;
  ProgressDisplay progress(10, false);
  host.SetProgress(&progress);
  ::testing::internal::CaptureStderr();
  MessageBoxA(nullptr, "one", "Lumatrice", MB_OK);
  MessageBoxA(nullptr, "two", "Lumatrice", MB_OK);
  const std::string err = ::testing::internal::GetCapturedStderr();
  host.SetProgress(nullptr);
  EXPECT_EQ(err, "lumatrice: Lumatrice: one\nlumatrice: Lumatrice: two\n");
}

TEST(Progress, StatusText) {
  struct Case {
    int done, total;
    double seconds, partial;
    const char* text;
  };
  const Case cases[] = {
      {0, 60, 0.0, 0.0, "0/60 frames  0.0 fps  --:-- left"},
      {30, 60, 10.0, 0.0, "30/60 frames  3.0 fps  0:10 left"},
      {10, 100, 5.0, 0.0, "10/100 frames  2.0 fps  0:45 left"},
      {1, 3, 120.0, 0.5, "1/3 frames  0.0 fps  2:00 left"},
      {60, 60, 20.0, 0.0, "60/60 frames  3.0 fps  0:00 left"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ProgressDisplay::Status(c.done, c.total, c.seconds, c.partial), c.text);
}

TEST(ParseFrameSize, AcceptsSidesTheBitmapCanHold) {
  struct Case {
    const char* text;
    bool ok;
    int w, h;
  };
  const Case cases[] = {
      {"1280x720", true, 1280, 720}, {"1x1", true, 1, 1},     {"65535x2", true, 65535, 2},
      {"0x10", false, 0, 0},         {"65536x1", false, 0, 0}, {"20000x20000", false, 0, 0},
      {"12x", false, 0, 0},          {"12x8x", false, 0, 0},   {"-4x4", false, 0, 0},
  };
  for (const Case& c : cases) {
    int w = 0, h = 0;
    EXPECT_EQ(ParseFrameSize(c.text, w, h), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(std::pair(w, h), std::pair(c.w, c.h)) << c.text;
    }
  }
}

// A live clock is read once per run and then held: the milliseconds would
// differ between two live reads some time apart.
TEST(HostSession, RunClockHoldsStillLiveOrPinned) {
  auto same = [](const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay &&
           a.wHour == b.wHour && a.wMinute == b.wMinute && a.wSecond == b.wSecond &&
           a.wMilliseconds == b.wMilliseconds;
  };
  for (const char* clock : {"", "2002-03-07T23:59:59"}) {
    SCOPED_TRACE(clock);
    std::string error;
    ASSERT_TRUE(PinRunClock(clock, error)) << error;
    SYSTEMTIME first, later;
    GetLocalTime(&first);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    GetLocalTime(&later);
    EXPECT_TRUE(same(first, later));
  }
  std::string error;
  EXPECT_FALSE(PinRunClock("2002-02-30", error));
  EXPECT_NE(error.find("clock"), std::string::npos);
  // Unpinned, the clock moves again.
  textraster::UnpinLocalTime();
  SYSTEMTIME first, later;
  GetLocalTime(&first);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  GetLocalTime(&later);
  EXPECT_FALSE(same(first, later));
}
