// Pinned clock times: ISO dates and times, zones, and the impossible ones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "clock.h"

using namespace lumatrice;

TEST(Clock, ParsesIsoTimes) {
  struct Case {
    const char* text;
    int y, mo, d, h, mi, s, dow;
  };
  const Case cases[] = {
      {"2002-03-07T09:05:03", 2002, 3, 7, 9, 5, 3, 4},
      {"2002-03-07 09:05", 2002, 3, 7, 9, 5, 0, 4},
      {"2024-02-29", 2024, 2, 29, 0, 0, 0, 4},
      {"1999-12-31T23:59:59.75", 1999, 12, 31, 23, 59, 59, 5},
  };
  for (const Case& c : cases) {
    SYSTEMTIME t{};
    std::string error;
    ASSERT_TRUE(ParseClock(c.text, t, error)) << c.text << ": " << error;
    EXPECT_EQ(t.wYear, c.y);
    EXPECT_EQ(t.wMonth, c.mo);
    EXPECT_EQ(t.wDay, c.d);
    EXPECT_EQ(t.wHour, c.h);
    EXPECT_EQ(t.wMinute, c.mi);
    EXPECT_EQ(t.wSecond, c.s);
    EXPECT_EQ(t.wDayOfWeek, c.dow) << c.text;
  }
}

TEST(Clock, ZonedTimesBecomeLocalTime) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  SYSTEMTIME t{};
  std::string error;
  ASSERT_TRUE(ParseClock("2002-03-07T23:30:00-01:00", t, error)) << error;
  EXPECT_EQ(t.wDay, 8);
  EXPECT_EQ(t.wHour, 0);
  EXPECT_EQ(t.wMinute, 30);
  ASSERT_TRUE(ParseClock("2002-03-07T09:05:03Z", t, error)) << error;
  EXPECT_EQ(FormatClock(t), "2002-03-07T09:05:03");
}

TEST(Clock, RefusesImpossibleTimes) {
  for (const char* text : {"", "yesterday", "2002-13-01", "2002-02-29", "2002-04-31T00:00",
                           "2002-03-07T24:00:00", "2002-03-07T09:60", "02-03-07",
                           "2002-03-07T09:05:03+25:00"}) {
    SYSTEMTIME t{};
    std::string error;
    EXPECT_FALSE(ParseClock(text, t, error)) << text;
    EXPECT_FALSE(error.empty());
  }
}
