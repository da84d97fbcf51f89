// The apply call's life: the slate mark, the three raster-creation failures,
// a missing block, and the release of every raster resource on every path.
#include "effect_harness.h"

namespace {

struct MarkCase {
  const char* name;
  bool notified;
  int display_slate;
  bool slate_drawn;
};

class SlateMarkTest : public EffectTest, public ::testing::WithParamInterface<MarkCase> {};

TEST_P(SlateMarkTest, MarkIsUsedUpByTheNextApply) {
  const MarkCase& c = GetParam();
  EffectHandle fx;
  EXPECT_EQ(fx->slate_mark, 0);
  fx.Set(pb_display_slate, c.display_slate);
  if (c.notified) OnPreRender(fx.get(), nullptr);

  RecordingStorage first(64, 64), second(64, 64);
  ApplyTo(fx, first);
  EXPECT_EQ(fx->slate_mark, 0);
  ApplyTo(fx, second);
  EXPECT_EQ(first.At(0, 0) == kSlateGrey, c.slate_drawn);
  EXPECT_EQ(second.At(0, 0), kBackdrop) << "the second frame never has the slate";
}

INSTANTIATE_TEST_SUITE_P(Cases, SlateMarkTest,
                         ::testing::Values(MarkCase{"NoNotification", false, 1, false},
                                           MarkCase{"Notified", true, 1, true},
                                           MarkCase{"SlateOff", true, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EffectTest, OneNotificationMarksEveryEffect) {
  EffectHandle a, b;
  for (EffectHandle* fx : {&a, &b}) (*fx).Set(pb_use_multithreading, 0);
  hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER);
  EXPECT_EQ(a->slate_mark, 1);
  EXPECT_EQ(b->slate_mark, 1);
  RecordingStorage fa(32, 32), fb(32, 32);
  ApplyTo(a, fa);
  ApplyTo(b, fb);
  EXPECT_EQ(fa.At(5, 5), kSlateGrey);
  EXPECT_EQ(fb.At(5, 5), kSlateGrey);
}

struct FailureCase {
  textraster::RasterStep step;
  const char* message;
};

class RasterFailureTest : public EffectTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RasterFailureTest, OneNoticeFrameUnchangedMarkCleared) {
  EffectHandle fx;
  fx.Set(pb_comments, "text");
  OnPreRender(fx.get(), nullptr);
  textraster::FailRasterStep(GetParam().step);
  RecordingStorage frame(64, 64);
  ApplyTo(fx, frame);

  EXPECT_EQ(messages, std::vector<std::string>{std::string("Lumatrice|") +
                                               GetParam().message + "|0"});
  EXPECT_TRUE(frame.reads.empty());
  EXPECT_TRUE(frame.writes.empty());
  EXPECT_EQ(fx->slate_mark, 0);
  EXPECT_EQ(textraster::LiveContexts(), 0);
  EXPECT_EQ(textraster::LiveBitmaps(), 0);

  // Every later frame tries again and, failing, says so again.
  ApplyTo(fx, frame);
  EXPECT_EQ(messages.size(), 2u);
  textraster::ClearRasterFaults();
  ApplyTo(fx, frame);
  EXPECT_EQ(messages.size(), 2u);
  EXPECT_EQ(frame.At(0, 63), kBackdrop) << "the slate was not put off to a later frame";
  EXPECT_FALSE(frame.writes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RasterFailureTest,
    ::testing::Values(
        FailureCase{textraster::RasterStep::kScreenContext,
                    "Unable to create device context for screen."},
        FailureCase{textraster::RasterStep::kMemoryContext,
                    "Unable to create memory device context."},
        FailureCase{textraster::RasterStep::kBitmap, "Unable to create compatible bitmap."}));

TEST_F(EffectTest, MissingBlockDrawsNothingAndClearsTheMark) {
  EffectHandle fx;
  IParamBlock2* block = fx->pblock;
  fx->ReplaceReference(0, nullptr);
  OnPreRender(fx.get(), nullptr);
  RecordingStorage frame(32, 32);
  ApplyTo(fx, frame);
  EXPECT_TRUE(frame.writes.empty());
  EXPECT_EQ(fx->slate_mark, 0);
  EXPECT_EQ(hostsdk::AssertCount(), 1);
  fx->ReplaceReference(0, block);
}

TEST_F(EffectTest, EmptyFrameIsHarmless) {
  EffectHandle fx;
  OnPreRender(fx.get(), nullptr);
  Bitmap empty;
  RecordingAbort abort;
  fx->Apply(0, &empty, nullptr, &abort);
  EXPECT_TRUE(abort.progress.empty());
  EXPECT_TRUE(messages.empty());
}

TEST_F(EffectTest, DefaultsShowTheFrameTimeAlone) {
  EffectHandle fx;
  RecordingStorage frame(200, 100);
  ApplyTo(fx, frame, 3 * hostsdk::TicksPerFrame());
  Box box = ExpectLine(frame, "       3 ", TA_LEFT | TA_BOTTOM, 2, 98);
  int changed = 200 * 100 - CountPixels(frame, kBackdrop);
  EXPECT_EQ(changed, (box.right - box.left + 1) * (box.bottom - box.top + 1));
}

}  // namespace
