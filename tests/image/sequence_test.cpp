// The texts that name a run's frames: frame ranges, sequence patterns and
// frame sizes.
#include <gtest/gtest.h>

#include "frame_size.h"
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
