// The single-thread merge: which rows each layout visits, the progress it
// reports, cancel, and the pixel rule with its 8-to-16-bit conversion.
#include <numeric>

#include "effect_harness.h"

namespace {

std::vector<int> Range(int first, int last) {
  std::vector<int> v;
  for (int y = first; y <= last; ++y) v.push_back(y);
  return v;
}
std::vector<int> Concat(std::vector<int> a, const std::vector<int>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct BandCase {
  int height;
  std::vector<int> rows;
  std::pair<int, int> after_row_22;  // progress reported after row 22; (0,0) when not visited
  std::pair<int, int> last;          // last progress; (0,0) when none
};

class CaptionBandsTest : public EffectTest, public ::testing::WithParamInterface<BandCase> {};

TEST_P(CaptionBandsTest, VisitsBandRowsOnceInOrderWithProgress) {
  const BandCase& c = GetParam();
  EffectHandle fx;
  RecordingStorage frame(16, c.height);
  RecordingAbort abort;
  ApplyTo(fx, frame, 0, &abort);

  EXPECT_EQ(frame.writes, c.rows);
  EXPECT_EQ(frame.reads, c.rows);
  ASSERT_EQ(abort.progress.size(), c.rows.size());
  EXPECT_EQ(abort.checks, int(c.rows.size()));
  if (c.rows.empty()) return;
  EXPECT_EQ(abort.progress.back(), c.last);
  auto it = std::find(c.rows.begin(), c.rows.end(), 22);
  if (it != c.rows.end()) {
    EXPECT_EQ(abort.progress[it - c.rows.begin()], c.after_row_22);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Heights, CaptionBandsTest,
    ::testing::Values(
        BandCase{0, {}, {}, {}}, BandCase{1, {}, {}, {}}, BandCase{2, {}, {}, {}},
        BandCase{3, {}, {}, {}}, BandCase{4, {}, {}, {}},
        BandCase{5, {2}, {}, {2, 3}},
        BandCase{22, Range(2, 19), {}, {19, 20}},
        BandCase{23, Range(2, 20), {}, {20, 21}},
        BandCase{24, Range(2, 21), {}, {21, 22}},
        BandCase{25, Range(2, 22), {22, 23}, {22, 23}},
        BandCase{33, Range(2, 30), {22, 31}, {30, 31}},
        BandCase{42, Range(2, 39), {22, 40}, {39, 40}},
        BandCase{43, Range(2, 40), {22, 41}, {40, 41}},
        BandCase{44, Concat(Range(2, 22), Range(24, 41)), {23, 42}, {41, 42}},
        BandCase{480, Concat(Range(2, 22), Range(460, 477)), {459, 478}, {477, 478}}),
    [](const auto& info) { return "H" + std::to_string(info.param.height); });

TEST_F(EffectTest, SlateOnOneThreadVisitsEveryRowWithProgress) {
  EffectHandle fx;
  fx.Set(pb_use_multithreading, 0);
  RecordingStorage frame(8, 480);
  RecordingAbort abort;
  OnPreRender(fx.get(), nullptr);
  ApplyTo(fx, frame, 0, &abort);

  EXPECT_EQ(frame.writes, Range(0, 479));
  ASSERT_EQ(abort.progress.size(), 480u);
  for (int y = 0; y < 480; ++y) EXPECT_EQ(abort.progress[y], std::make_pair(y, 480));
}

// A frame with rows but no columns: every band row is still visited.
class ZeroWidthStorage : public BitmapStorage {
 public:
  int Width() const override { return 0; }
  int Height() const override { return 30; }
  int GetPixels(int, int, int, BMM_Color_64*) const override { return 0; }
  int PutPixels(int, int, int, const BMM_Color_64*) override { return 0; }
};

TEST_F(EffectTest, ZeroWidthRowsAreVisitedWithNoPixels) {
  EffectHandle fx;
  fx.Set(pb_comments, "text");
  ZeroWidthStorage storage;
  Bitmap bm(&storage);
  RecordingAbort abort;
  fx->Apply(0, &bm, nullptr, &abort);
  std::vector<std::pair<int, int>> expected;
  for (int y : Range(2, 27)) expected.emplace_back(y, 28);
  EXPECT_EQ(abort.progress, expected);
  EXPECT_TRUE(messages.empty());
}

TEST_F(EffectTest, CancelAfterFirstRowLeavesTheRestAsRendered) {
  EffectHandle fx;
  fx.Set(pb_use_multithreading, 0);
  RecordingStorage frame(400, 100);
  RecordingAbort abort(1);
  OnPreRender(fx.get(), nullptr);
  ApplyTo(fx, frame, 0, &abort);

  EXPECT_EQ(frame.writes, std::vector<int>{0});
  EXPECT_EQ(frame.At(0, 0), kSlateGrey);
  EXPECT_EQ(frame.At(0, 1), kBackdrop);
  EXPECT_EQ(CountPixels(frame, kBackdrop), 400 * 99);
}

// The rule on raster colours the effect never draws, too: red and green must
// both be non-zero; blue alone never counts.
struct PixelCase {
  COLORREF raster;
  BMM_Color_64 expected;
};

class PixelRuleTest : public EffectTest, public ::testing::WithParamInterface<PixelCase> {};

TEST_P(PixelRuleTest, TakesOnlyRedAndGreenPixels) {
  const PixelCase& c = GetParam();
  const int w = 4, h = 4;
  HDC screen = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  TextRaster raster{screen, CreateCompatibleDC(screen), CreateCompatibleBitmap(screen, w, h),
                    nullptr};
  raster.previous_bitmap = SelectObject(raster.memory_dc, raster.bitmap);
  // Paint one pixel with the colour under test: a one-character opaque cell
  // whose text and background are the same colour.
  SelectObject(raster.memory_dc, GetStockObject(ANSI_FIXED_FONT));
  SetBkMode(raster.memory_dc, OPAQUE);
  SetBkColor(raster.memory_dc, c.raster);
  SetTextColor(raster.memory_dc, c.raster);
  SetTextAlign(raster.memory_dc, TA_LEFT | TA_TOP);
  TextOutA(raster.memory_dc, 1, 1 - textraster::kCellHeight + 1, "x", 1);  // covers (1..,0..1)

  RecordingStorage frame(w, h);
  Bitmap bm(&frame);
  std::unique_ptr<BMM_Color_64[]> row;
  TransferRaster(raster, &bm, nullptr, SlateBands(h), row);

  EXPECT_EQ(frame.At(1, 1), c.expected);
  EXPECT_EQ(frame.At(0, 1), kBackdrop) << "untouched raster keeps the frame and its alpha";
  SelectObject(raster.memory_dc, raster.previous_bitmap);
  DeleteObject(raster.bitmap);
  DeleteDC(raster.memory_dc);
  DeleteDC(screen);
}

INSTANTIATE_TEST_SUITE_P(
    Colours, PixelRuleTest,
    ::testing::Values(PixelCase{0x000000, kBackdrop}, PixelCase{0xFFFFFF, kGlyph},
                      PixelCase{0x3C3C3C, kBox}, PixelCase{0x404040, kSlateGrey},
                      PixelCase{0x0000FF, kBackdrop},   // red only
                      PixelCase{0x00FF00, kBackdrop},   // green only
                      PixelCase{0xFF0000, kBackdrop},   // blue only
                      PixelCase{0x000101, {0x0100, 0x0100, 0x0000, 0xFFFF}},
                      PixelCase{0x80FF7F, {0x7F00, 0xFF00, 0x8000, 0xFFFF}}));

TEST_F(EffectTest, MissingAbortCallbackStillMergesAndReports) {
  EffectHandle fx;
  fx.Set(pb_comments, "hello");
  RecordingStorage frame(200, 60);
  Bitmap bm(&frame);
  fx->Apply(0, &bm, nullptr, nullptr);
  EXPECT_EQ(hostsdk::AssertCount(), 1);
  EXPECT_FALSE(frame.writes.empty());
  ExpectLine(frame, " hello ", TA_CENTER | TA_TOP, 100, 2);
}

}  // namespace
