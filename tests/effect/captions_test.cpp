// What the captions and the slate show, and where: exact lines (formats,
// padding, Untitled, dates without padding) checked against an oracle that
// draws the expected line, plus the slate's block geometry.
#include <cstring>

#include "caption_layout.h"
#include "effect_harness.h"

namespace {

// ---- every-frame captions ---------------------------------------------------

TEST_F(EffectTest, FooterItemsAtTheirPlacesWithExactTexts) {
  EffectHandle fx;
  fx.Set(pb_display_filename, 1);
  fx.Set(pb_display_date, 1);
  fx.Set(pb_comments, "Take 3");
  hostsdk::SetSceneFilePath("/shows/abc/shot_010.lum");
  RecordingStorage frame(640, 480);
  ApplyTo(fx, frame, 5 * hostsdk::TicksPerFrame());

  ExpectLine(frame, " Take 3 ", TA_CENTER | TA_TOP, 320, 2);
  ExpectLine(frame, "       5 ", TA_LEFT | TA_BOTTOM, 2, 478);
  ExpectLine(frame, " shot_010.lum ", TA_CENTER | TA_BOTTOM, 320, 478);
  ExpectLine(frame, " 3/7/2002 ", TA_RIGHT | TA_BOTTOM, 638, 478);
}

struct TimeTextCase {
  hostsdk::TimeDisplay mode;
  int frame;
  const char* line;  // seven columns at least, a blank at each end
};

class FrameTimeTest : public EffectTest, public ::testing::WithParamInterface<TimeTextCase> {};

TEST_P(FrameTimeTest, PadsToSevenColumns) {
  hostsdk::SetTimeDisplay(GetParam().mode);
  CStr expected_time;
  TimeToString(GetParam().frame * hostsdk::TicksPerFrame(), expected_time);
  EffectHandle fx;
  RecordingStorage frame(300, 40);
  ApplyTo(fx, frame, GetParam().frame * hostsdk::TicksPerFrame());
  Box box = ExpectLine(frame, GetParam().line, TA_LEFT | TA_BOTTOM, 2, 38);
  EXPECT_EQ(box.right - box.left + 1,
            8 * int(std::max<size_t>(7, std::strlen(expected_time.data())) + 2));
  EXPECT_EQ(frame.At(box.right + 1, 30), kBackdrop);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FrameTimeTest,
    ::testing::Values(TimeTextCase{hostsdk::TimeDisplay::Frames, 7, "       7 "},
                      TimeTextCase{hostsdk::TimeDisplay::Frames, 1234567, " 1234567 "},
                      TimeTextCase{hostsdk::TimeDisplay::Frames, 12345678, " 12345678 "},
                      TimeTextCase{hostsdk::TimeDisplay::SMPTE, 35, " 00:01:05 "}));

TEST_F(EffectTest, UnsavedSceneReadsUntitledInFooterAndSlate) {
  EffectHandle fx;
  fx.Set(pb_display_filename, 1);
  RecordingStorage captions(400, 300);
  ApplyTo(fx, captions);
  ExpectLine(captions, " Untitled ", TA_CENTER | TA_BOTTOM, 200, 298);

  RecordingStorage slate(400, 300);
  fx.Set(pb_use_multithreading, 0);
  OnPreRender(fx.get(), nullptr);
  ApplyTo(fx, slate);
  // Only the source-file and time blocks: the source file takes the first place.
  ExpectLine(slate, " Source File ", TA_CENTER | TA_TOP, 200, SlateTop(300));
  ExpectLine(slate, " Untitled ", TA_CENTER | TA_TOP, 200, SlateTop(300) + 20);
  ExpectLine(slate, " Time & Date ", TA_CENTER | TA_TOP, 200, SlateTop(300) + 60);
  ExpectLine(slate, " 9:5:3 3/7/2002 ", TA_CENTER | TA_TOP, 200, SlateTop(300) + 80);
}

struct HeaderCase {
  int header, comments;
  const char* text;
  bool drawn;
};

class HeaderTest : public EffectTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(HeaderTest, NeedsBothSwitchesAndAText) {
  const HeaderCase& c = GetParam();
  EffectHandle fx;
  fx.Set(pb_display_header, c.header);
  fx.Set(pb_display_comments, c.comments);
  fx.Set(pb_comments, c.text);
  RecordingStorage frame(200, 100);
  ApplyTo(fx, frame);
  int changed_in_header = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 200; ++x) changed_in_header += !(frame.At(x, y) == kBackdrop);
  EXPECT_EQ(changed_in_header > 0, c.drawn);
  // The footer follows its own switches whatever the header does.
  ExpectLine(frame, "       0 ", TA_LEFT | TA_BOTTOM, 2, 98);
}

INSTANTIATE_TEST_SUITE_P(Switches, HeaderTest,
                         ::testing::Values(HeaderCase{1, 1, "note", true},
                                           HeaderCase{1, 1, "", false},
                                           HeaderCase{0, 1, "note", false},
                                           HeaderCase{1, 0, "note", false}));

TEST_F(EffectTest, LongTextsAreCutAt255Characters) {
  EffectHandle fx;
  std::string long_text(1000, 'W');
  fx.Set(pb_comments, long_text.c_str());
  RecordingStorage frame(2400, 60);
  ApplyTo(fx, frame);
  // " %s " of a 255-character copy is cut to 255 characters: a blank and 254 W.
  Box box = ExpectLine(frame, " " + std::string(254, 'W'), TA_CENTER | TA_TOP, 1200, 2);
  EXPECT_EQ(box.right - box.left + 1, 255 * 8);
  EXPECT_EQ(frame.At(box.left - 1, 5), kBackdrop);
  EXPECT_EQ(frame.At(box.right + 1, 5), kBackdrop);
}

TEST_F(EffectTest, OnlyBandRowsChangeOutsideBoxesNothing) {
  EffectHandle fx;
  fx.Set(pb_comments, "x");
  RecordingStorage frame(120, 200);
  ApplyTo(fx, frame);
  for (int y = 23; y < 180; ++y)
    for (int x = 0; x < 120; ++x) ASSERT_EQ(frame.At(x, y), kBackdrop) << x << "," << y;
  EXPECT_EQ(frame.At(0, 5), kBackdrop) << "outside the header box";
}

TEST_F(EffectTest, KeyedSwitchIsReadAtTheFrameTime) {
  EffectHandle fx;
  const int tpf = hostsdk::TicksPerFrame();
  hostsdk::SetAnimateMode(true);
  fx->pblock->SetValue(pb_display_footer, 10 * tpf, 0);  // keys: on at 0, off at 10
  fx->pblock->SetValue(pb_display_footer, 20 * tpf, 1);
  hostsdk::SetAnimateMode(false);

  for (auto [f, footer] : {std::pair{0, true}, {9, true}, {10, false}, {19, false}, {25, true}}) {
    RecordingStorage frame(100, 50);
    ApplyTo(fx, frame, f * tpf);
    EXPECT_EQ(CountPixels(frame, kBackdrop) < 100 * 50, footer) << "frame " << f;
  }
}

// ---- slate --------------------------------------------------------------------

struct SlateCase {
  int height;
  int first_label_row;
};

class SlateGeometryTest : public EffectTest, public ::testing::WithParamInterface<SlateCase> {};

TEST_P(SlateGeometryTest, BlocksSixtyRowsApartFromTheCentredStart) {
  const SlateCase& c = GetParam();
  EffectHandle fx;
  fx.Set(pb_use_multithreading, 0);
  fx.Set(pb_slate_author, "R. Artist");
  fx.Set(pb_slate_comments, "Final");
  hostsdk::SetSceneFilePath("/shows/abc/shot_010.lum");
  RecordingStorage frame(640, c.height);
  OnPreRender(fx.get(), nullptr);
  ApplyTo(fx, frame);

  EXPECT_EQ(SlateTop(c.height), c.first_label_row);
  const char* lines[] = {" Author ",      " R. Artist ",
                         " Comments ",    " Final ",
                         " Source File ", " /shows/abc/shot_010.lum ",
                         " Time & Date ", " 9:5:3 3/7/2002 "};
  for (int i = 0; i < 8; ++i) {
    ExpectLine(frame, lines[i], TA_CENTER | TA_TOP, 320,
               c.first_label_row + (i / 2) * 60 + (i % 2) * 20);
  }
  if (c.height > 0) {
    EXPECT_EQ(frame.At(0, c.height - 1), kSlateGrey);
  }
  EXPECT_EQ(CountPixels(frame, kBackdrop), 0) << "the slate covers every pixel";
}

INSTANTIATE_TEST_SUITE_P(Heights, SlateGeometryTest,
                         ::testing::Values(SlateCase{480, 130}, SlateCase{221, 0},
                                           SlateCase{220, 0}, SlateCase{219, -1},
                                           SlateCase{100, -60}, SlateCase{0, -110}));

TEST_F(EffectTest, SlateLabelsAtTheirRowsAt480) {
  EffectHandle fx;
  fx.Set(pb_use_multithreading, 0);
  fx.Set(pb_slate_author, "A");
  fx.Set(pb_slate_comments, "C");
  RecordingStorage frame(640, 480);
  OnPreRender(fx.get(), nullptr);
  ApplyTo(fx, frame);
  // Each label's box starts at its row and the row above is slate grey.
  for (int row : {130, 190, 250, 310, 150, 210, 270, 330}) {
    EXPECT_EQ(frame.At(320, row - 1), kSlateGrey) << row;
    EXPECT_TRUE(frame.At(320, row) == kBox || frame.At(320, row) == kGlyph) << row;
  }
}

struct BlockCase {
  const char* name;
  int author, comments, filename, time;
  std::vector<std::string> labels;  // in the order drawn from the first block's row
};

class SlateBlocksTest : public EffectTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(SlateBlocksTest, BlocksLeftOutTakeNoRoom) {
  const BlockCase& c = GetParam();
  EffectHandle fx;
  fx.Set(pb_use_multithreading, 0);
  fx.Set(pb_slate_author, "Ann");
  fx.Set(pb_slate_comments, "Notes");
  fx.Set(pb_display_slate_author, c.author);
  fx.Set(pb_display_slate_comments, c.comments);
  fx.Set(pb_display_slate_filename, c.filename);
  fx.Set(pb_display_slate_time_date, c.time);
  RecordingStorage frame(400, 480);
  OnPreRender(fx.get(), nullptr);
  ApplyTo(fx, frame);
  for (size_t i = 0; i < c.labels.size(); ++i)
    ExpectLine(frame, c.labels[i], TA_CENTER | TA_TOP, 200, 130 + 60 * int(i));
  int drawn_rows = 0;
  for (int y = 0; y < 480; ++y) drawn_rows += !(frame.At(200, y) == kSlateGrey);
  EXPECT_EQ(drawn_rows, int(c.labels.size()) * 2 * textraster::kCellHeight);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, SlateBlocksTest,
    ::testing::Values(
        BlockCase{"All", 1, 1, 1, 1, {" Author ", " Comments ", " Source File ", " Time & Date "}},
        BlockCase{"FileAndTime", 0, 0, 1, 1, {" Source File ", " Time & Date "}},
        BlockCase{"CommentsOnly", 0, 1, 0, 0, {" Comments "}},
        BlockCase{"None", 0, 0, 0, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
