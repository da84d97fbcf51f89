// Frame ranges, sequence patterns and pinned clock times.
#include <gtest/gtest.h>

#include "clock.h"
#include "sequence.h"

using namespace lumatrice;

TEST(FrameRange, Parses) {
  struct Case {
    const char* text;
    std::vector<int> frames;
  };
  const Case cases[] = {
      {"7", {7}},
      {"1-4", {1, 2, 3, 4}},
      {"1-9x3", {1, 4, 7}},
      {"4-1", {4, 3, 2, 1}},
      {"1-3,10", {1, 2, 3, 10}},
      {"-2-0", {-2, -1, 0}},
  };
  for (const Case& c : cases) {
    std::vector<int> frames;
    std::string error;
    EXPECT_TRUE(ParseFrameRange(c.text, frames, error)) << c.text << ": " << error;
    EXPECT_EQ(frames, c.frames) << c.text;
  }
}

TEST(FrameRange, RefusesMalformedAndHugeRanges) {
  for (const char* text : {"", "a", "1-", "1-10x", "1--", "1,,2", "1 - 3", "0-999999999",
                           "99999999999"}) {
    std::vector<int> frames;
    std::string error;
    EXPECT_FALSE(ParseFrameRange(text, frames, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_TRUE(frames.empty()) << text;
  }
}

TEST(SequencePattern, NamesFrames) {
  struct Case {
    const char* pattern;
    int frame;
    const char* file;
    const char* range;
  };
  const Case cases[] = {
      {"shot.#.exr", 7, "shot.0007.exr", ""},
      {"shot.@.png", 7, "shot.7.png", ""},
      {"shot.@@@.png", 7, "shot.007.png", ""},
      {"out/shot.%05d.tif", 42, "out/shot.00042.tif", ""},
      {"shot.1-20#.exr", 3, "shot.0003.exr", "1-20"},
      {"single.png", 9, "single.png", ""},
  };
  for (const Case& c : cases) {
    SequencePattern p;
    std::string error;
    ASSERT_TRUE(p.Parse(c.pattern, error)) << c.pattern << ": " << error;
    EXPECT_EQ(p.FileFor(c.frame), c.file) << c.pattern;
    EXPECT_EQ(p.embedded_range(), c.range) << c.pattern;
  }
  SequencePattern p;
  std::string error;
  EXPECT_FALSE(p.Parse("", error));
  EXPECT_FALSE(p.Parse("bad.%q.png", error));
}

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
