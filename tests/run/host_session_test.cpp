// What the host does around the effects: notices never block and stay on one
// line, and a run's clock holds still.
#include <gtest/gtest.h>

#include <atomic>

#include "host_session.h"
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

// A live clock is read once per run and then held. The live source here
// ticks on every read, so a held clock is told from a moving one at once.
std::atomic<int> g_ticks{0};
SYSTEMTIME TickingClock() {
  SYSTEMTIME t{2002, 3, 4, 7, 9, 5, 3, 0};
  t.wMilliseconds = WORD(g_ticks.fetch_add(1) % 1000);
  return t;
}

TEST(HostSession, RunClockHoldsStillLiveOrPinned) {
  struct Restore {
    ~Restore() {
      textraster::SetLiveClock(nullptr);
      textraster::UnpinLocalTime();
    }
  } restore;
  textraster::SetLiveClock(TickingClock);
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
  GetLocalTime(&later);
  EXPECT_FALSE(same(first, later));
}
