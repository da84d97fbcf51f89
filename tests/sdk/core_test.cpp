// Core services: notifications, time display, scene names, assertions and the
// class descriptor's rollup requests.
#include <gtest/gtest.h>

#include "host_api.h"
#include "sdk_fixtures.h"

namespace {

class CoreTest : public testing::Test {
 protected:
  void SetUp() override { hostsdk::ResetHost(); }
  void TearDown() override { hostsdk::ResetHost(); }
};

struct Counter {
  int calls = 0;
  void* last_param = nullptr;
  std::function<void()> during;
};

void Count(void* param, NotifyInfo* info) {
  auto* c = static_cast<Counter*>(param);
  ++c->calls;
  c->last_param = info->callParam;
  if (c->during) c->during();
}

TEST_F(CoreTest, RegistrationCountsOncePerTripleAndUnregistersPerCode) {
  Counter c, other;
  EXPECT_TRUE(RegisterNotification(Count, &c, NOTIFY_PRE_RENDER));
  EXPECT_TRUE(RegisterNotification(Count, &c, NOTIFY_PRE_RENDER));
  EXPECT_TRUE(RegisterNotification(Count, &c, NOTIFY_POST_RENDER));
  EXPECT_FALSE(RegisterNotification(nullptr, &c, NOTIFY_PRE_RENDER));
  RegisterNotification(Count, &other, NOTIFY_PRE_RENDER);
  EXPECT_EQ(hostsdk::NotificationRegistrationCount(), 3);
  int token = 0;
  hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER, &token);
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(c.last_param, &token);
  EXPECT_TRUE(UnRegisterNotification(Count, &c));  // every code of (Count, &c)
  hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER);
  hostsdk::BroadcastNotification(NOTIFY_POST_RENDER);
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(other.calls, 2);
  EXPECT_EQ(hostsdk::NotificationRegistrationCount(), 1);
}

TEST_F(CoreTest, CallbacksMayRegisterAndUnregisterDuringBroadcast) {
  Counter first, second, joiner;
  RegisterNotification(Count, &first, NOTIFY_PRE_RENDER);
  RegisterNotification(Count, &second, NOTIFY_PRE_RENDER);
  first.during = [&] {
    UnRegisterNotification(Count, &second, NOTIFY_PRE_RENDER);
    RegisterNotification(Count, &joiner, NOTIFY_PRE_RENDER);
    UnRegisterNotification(Count, &first);
  };
  hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER);
  hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(second.calls, 0);
  EXPECT_EQ(joiner.calls, 1);  // from the next broadcast on
}

TEST_F(CoreTest, TimeToStringPerMode) {
  using M = hostsdk::TimeDisplay;
  struct Row {
    M mode;
    int fps;
    TimeValue t;
    const char* want;
  };
  const Row rows[] = {
      {M::Frames, 30, 0, "0"},
      {M::Frames, 30, 15 * 160 + 159, "15"},
      {M::Frames, 30, -1, "-1"},
      {M::Frames, 25, 4800, "25"},
      {M::Frames, 30, TIME_NegInfinity, "-13421773"},
      {M::SMPTE, 30, (65 * 30 + 7) * 160, "01:05:07"},
      {M::SMPTE, 24, 4800 * 2 + 200 * 3, "00:02:03"},
      {M::SMPTE, 30, -160, "-00:00:01"},
      {M::FrameTicks, 30, 3 * 160 + 80, "3:80"},
      {M::FrameTicks, 30, -161, "-1:1"},
      {M::MMSSTicks, 30, 4800 * 62 + 7, "01:02:0007"},
      {M::MMSSTicks, 30, -4800, "-00:01:0000"},
      {M::MMSSTicks, 30, TIME_PosInfinity, "7456:32:2047"},
  };
  for (const Row& r : rows) {
    hostsdk::SetTimeDisplay(r.mode);
    ASSERT_TRUE(hostsdk::SetFrameRate(r.fps));
    CStr s = "stale";
    TimeToString(r.t, s);
    EXPECT_STREQ(s, r.want) << int(r.mode) << " t=" << r.t;
  }
  EXPECT_FALSE(hostsdk::SetFrameRate(7));  // does not divide the tick rate
  EXPECT_EQ(hostsdk::FrameRate(), 30);
}

TEST_F(CoreTest, SceneNameIsTheLastPathComponent) {
  const std::pair<const char*, const char*> rows[] = {
      {nullptr, ""}, {"/shots/a/scene.lmt", "scene.lmt"}, {"C:\\shots\\b.lmt", "b.lmt"}};
  for (const auto& [path, name] : rows) {
    hostsdk::SetSceneFilePath(path);
    EXPECT_STREQ(GetCOREInterface()->GetCurFileName(), name);
    EXPECT_STREQ(GetCOREInterface()->GetCurFilePath(), path ? path : "");
  }
}

TEST_F(CoreTest, AssertReportsOneLineAndGoesOn) {
  int handled_line = 0;
  hostsdk::SetAssertHandler([&](int line, const char*) { handled_line = line; });
  testing::internal::CaptureStderr();
  DbgAssert(1 + 1 == 3);
  int expected_line = __LINE__ - 1;
  DbgAssert(true);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "assert1: " + std::string(__FILE__) + ":" + std::to_string(expected_line) +
                     "\n");
  EXPECT_EQ(hostsdk::AssertCount(), 1);
  EXPECT_EQ(handled_line, expected_line);
}

TEST_F(CoreTest, RollupRequestsGoToHooksAndAreCounted) {
  TestClassDesc cd;
  auto desc = MakeFifteenParamDesc(&cd);
  cd.InvalidateUI(desc.get());
  EXPECT_EQ(hostsdk::InvalidateUICount(desc.get()), 1);
  EXPECT_EQ(cd.CreateParamDialogs(nullptr, nullptr), nullptr);
  auto* handle = reinterpret_cast<IAutoEParamDlg*>(&cd);
  ParamBlockDesc2* refreshed = nullptr;
  hostsdk::SetParamDialogHooks([&](ClassDesc2*, IRendParams*, SpecialFX*) { return handle; },
                               [&](ClassDesc2*, ParamBlockDesc2* pbd) {
                                 refreshed = pbd;
                                 throw 1;  // must not escape the runtime
                               });
  EXPECT_EQ(cd.CreateParamDialogs(nullptr, nullptr), handle);
  cd.InvalidateUI(desc.get());
  EXPECT_EQ(refreshed, desc.get());
  EXPECT_EQ(hostsdk::InvalidateUICount(desc.get()), 2);
}

}  // namespace
