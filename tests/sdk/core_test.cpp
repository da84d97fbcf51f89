// Core services: notifications, time display, scene names, assertions and the
// class descriptor's rollup requests.
#include <gtest/gtest.h>

#include "host_api.h"
#include "sdk_test_util.h"

namespace {

class CoreTest : public testing::Test {
 protected:
  void SetUp() override { hostsdk::ResetHost(); }
  void TearDown() override { hostsdk::ResetHost(); }
};

struct Counter {
  int calls = 0;
  int last_code = 0;
  void* last_param = nullptr;
  std::function<void()> during;
};

void Count(void* param, NotifyInfo* info) {
  auto* c = static_cast<Counter*>(param);
  ++c->calls;
  c->last_code = info->intcode;
  c->last_param = info->callParam;
  if (c->during) c->during();
}

TEST_F(CoreTest, RegistrationCountsOncePerTriple) {
  Counter c;
  EXPECT_TRUE(RegisterNotification(Count, &c, NOTIFY_PRE_RENDER));
  EXPECT_TRUE(RegisterNotification(Count, &c, NOTIFY_PRE_RENDER));
  EXPECT_TRUE(RegisterNotification(Count, &c, NOTIFY_POST_RENDER));
  EXPECT_FALSE(RegisterNotification(nullptr, &c, NOTIFY_PRE_RENDER));
  EXPECT_EQ(hostsdk::NotificationRegistrationCount(), 2);
  int token = 0;
  hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER, &token);
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(c.last_code, NOTIFY_PRE_RENDER);
  EXPECT_EQ(c.last_param, &token);
  EXPECT_TRUE(UnRegisterNotification(Count, &c, NOTIFY_POST_RENDER));
  EXPECT_FALSE(UnRegisterNotification(Count, &c, NOTIFY_POST_RENDER));
  hostsdk::BroadcastNotification(NOTIFY_POST_RENDER);
  EXPECT_EQ(c.calls, 1);
}

TEST_F(CoreTest, TwoArgumentUnregisterRemovesEveryCode) {
  Counter mine, other;
  for (int code : {NOTIFY_PRE_RENDER, NOTIFY_POST_RENDER, 99}) {
    RegisterNotification(Count, &mine, code);
  }
  RegisterNotification(Count, &other, NOTIFY_PRE_RENDER);
  EXPECT_TRUE(UnRegisterNotification(Count, &mine));
  EXPECT_EQ(hostsdk::NotificationRegistrationCount(), 1);
  hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER);
  EXPECT_EQ(mine.calls, 0);
  EXPECT_EQ(other.calls, 1);
}

TEST_F(CoreTest, CallbacksMayRegisterAndUnregisterDuringBroadcast) {
  Counter first, second, joiner;
  RegisterNotification(Count, &first, NOTIFY_PRE_RENDER);
  RegisterNotification(Count, &second, NOTIFY_PRE_RENDER);
  first.during = [&] {
    UnRegisterNotification(Count, &second);
    RegisterNotification(Count, &joiner, NOTIFY_PRE_RENDER);
    UnRegisterNotification(Count, &first);
  };
  hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(second.calls, 0);
  EXPECT_EQ(joiner.calls, 0);
  hostsdk::BroadcastNotification(NOTIFY_PRE_RENDER);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(joiner.calls, 1);
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
      {M::Frames, 30, 15 * 160, "15"},
      {M::Frames, 30, 15 * 160 + 159, "15"},
      {M::Frames, 30, -1, "-1"},
      {M::Frames, 30, -160, "-1"},
      {M::Frames, 25, 4800, "25"},
      {M::SMPTE, 30, 0, "00:00:00"},
      {M::SMPTE, 30, (65 * 30 + 7) * 160, "01:05:07"},
      {M::SMPTE, 24, 4800 * 2 + 200 * 3, "00:02:03"},
      {M::SMPTE, 30, -160, "-00:00:01"},
      {M::FrameTicks, 30, 3 * 160 + 80, "3:80"},
      {M::FrameTicks, 30, -1, "-0:1"},
      {M::FrameTicks, 30, -161, "-1:1"},
      {M::MMSSTicks, 30, 4800 * 62 + 7, "01:02:0007"},
      {M::MMSSTicks, 30, -4800, "-00:01:0000"},
      {M::Frames, 30, TIME_NegInfinity, "-13421773"},
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
  EXPECT_FALSE(hostsdk::SetFrameRate(0));
  EXPECT_EQ(hostsdk::FrameRate(), 30);
}

TEST_F(CoreTest, SceneNameIsTheLastPathComponent) {
  struct Row {
    const char* path;
    const char* name;
  };
  const Row rows[] = {{nullptr, ""},
                      {"", ""},
                      {"/shots/a/scene.max", "scene.max"},
                      {"C:\\shots\\b.max", "b.max"},
                      {"plain.max", "plain.max"}};
  for (const Row& r : rows) {
    hostsdk::SetSceneFilePath(r.path);
    EXPECT_STREQ(GetCOREInterface()->GetCurFileName(), r.name);
    EXPECT_STREQ(GetCOREInterface()->GetCurFilePath(), r.path ? r.path : "");
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
  hostsdk::ResetAssertCount();
  EXPECT_EQ(hostsdk::AssertCount(), 0);
}

TEST_F(CoreTest, RollupRequestsGoToHooksAndAreCounted) {
  TestClassDesc cd;
  auto desc = MakeFifteenParamDesc(&cd);
  cd.InvalidateUI(desc.get());
  cd.InvalidateUI(desc.get());
  EXPECT_EQ(hostsdk::InvalidateUICount(desc.get()), 2);
  EXPECT_EQ(cd.CreateParamDialogs(nullptr, nullptr), nullptr);
  auto* handle = reinterpret_cast<IAutoEParamDlg*>(&cd);
  ParamBlockDesc2* refreshed = nullptr;
  hostsdk::SetParamDialogHooks(
      [&](ClassDesc2*, IRendParams*, SpecialFX*) -> IAutoEParamDlg* { return handle; },
      [&](ClassDesc2*, ParamBlockDesc2* pbd) {
        refreshed = pbd;
        throw 1;  // must not escape the runtime
      });
  EXPECT_EQ(cd.CreateParamDialogs(nullptr, nullptr), handle);
  cd.InvalidateUI(desc.get());
  EXPECT_EQ(refreshed, desc.get());
  EXPECT_EQ(hostsdk::InvalidateUICount(desc.get()), 3);
  EXPECT_EQ(hostsdk::CreateParamDialogsCount(), 2);

  InitCustomControls(reinterpret_cast<HINSTANCE>(&cd));
  EXPECT_EQ(hostsdk::InitCustomControlsCount(), 1);
  EXPECT_EQ(hostsdk::InitCustomControlsInstance(), reinterpret_cast<HINSTANCE>(&cd));
}

}  // namespace
