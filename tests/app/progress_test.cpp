// The program's progress display: its status line, and notices printed above
// it rather than through it.
#include <gtest/gtest.h>

#include "host_session.h"
#include "progress.h"
#include "win_gdi.h"

using namespace lumatrice;

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
