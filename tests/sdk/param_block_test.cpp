// Parameter blocks: keyed switches and their validity, text reads, and change
// notification of the owner.
#include <gtest/gtest.h>

#include "host_api.h"
#include "param_block.h"
#include "sdk_fixtures.h"

namespace {

class ParamBlockTest : public testing::Test {
 protected:
  void SetUp() override {
    hostsdk::ResetHost();
    desc = MakeFifteenParamDesc(&cd);
    cd.MakeAutoParamBlocks(&owner);
    block = static_cast<ParamBlock2*>(owner.GetReference(0));
    ASSERT_NE(block, nullptr);
  }
  void TearDown() override {
    if (block) block->DeleteThis();
    hostsdk::ResetHost();
  }
  int ValueAt(ParamID id, TimeValue t) {
    int v = -1;
    Interval valid = FOREVER;
    EXPECT_TRUE(block->GetValue(id, t, v, valid));
    return v;
  }

  TestClassDesc cd;
  std::unique_ptr<ParamBlockDesc2> desc;
  Recorder owner;
  ParamBlock2* block = nullptr;
};

TEST_F(ParamBlockTest, KeyedSwitchValueAndValidity) {
  // Unsorted, with a repeated time: the later key at 300 wins.
  ASSERT_TRUE(block->SetKeys(7, {{300, 1}, {100, 1}, {200, 0}, {400, 1}, {300, 0}}));
  struct Row {
    TimeValue t;
    int v;
    TimeValue start, stop;
  };
  const Row rows[] = {
      {-5000, 1, TIME_NegInfinity, 199},  // before the first key: the first key
      {199, 1, TIME_NegInfinity, 199},
      {200, 0, 200, 399},  // two equal keys hold one span
      {350, 0, 200, 399},
      {400, 1, 400, TIME_PosInfinity},
  };
  for (const Row& r : rows) {
    int v = -1;
    Interval valid = FOREVER;
    ASSERT_TRUE(block->GetValue(7, r.t, v, valid));
    EXPECT_EQ(v, r.v) << r.t;
    EXPECT_TRUE(valid == Interval(r.start, r.stop)) << r.t << ": " << valid.Start() << ".."
                                                    << valid.End();
  }
  Interval valid(250, 1000);  // narrowed, never widened
  int v = 0;
  block->GetValue(7, 300, v, valid);
  EXPECT_TRUE(valid == Interval(250, 399));
  valid.Set(10, 20);
  block->GetValue(14, 15, v, valid);  // a constant holds forever
  EXPECT_TRUE(valid == Interval(10, 20));
  EXPECT_FALSE(block->SetKeys(14, {{0, 1}}));  // not animatable
}

TEST_F(ParamBlockTest, StrIsNeverNull) {
  ASSERT_TRUE(block->SetValue(3, 0, "note"));
  const std::tuple<ParamID, int, const char*> rows[] = {
      {3, 0, "note"}, {9, 0, ""}, {0, 0, ""}, {-1, 0, ""}, {15, 0, ""}, {3, 1, ""}};
  for (const auto& [id, tab, want] : rows) {
    const char* s = block->GetStr(id, 0, tab);
    ASSERT_NE(s, nullptr) << id;
    EXPECT_STREQ(s, want) << id;
  }
}

TEST_F(ParamBlockTest, ChangesReachTheOwner) {
  struct Row {
    const char* what;
    std::function<BOOL()> set;
    BOOL result;
    size_t messages;
  };
  const Row rows[] = {
      {"switch change", [&] { return block->SetValue(5, 0, 1); }, TRUE, 1},
      {"same value", [&] { return block->SetValue(5, 0, 7); }, TRUE, 0},
      {"text change", [&] { return block->SetValue(3, 0, "hello"); }, TRUE, 1},
      {"null text", [&] { return block->SetValue(3, 0, (const char*)nullptr); }, TRUE, 1},
      {"text into switch", [&] { return block->SetValue(0, 0, "x"); }, FALSE, 0},
      {"int into text", [&] { return block->SetValue(3, 0, 1); }, FALSE, 0},
      {"unknown ID", [&] { return block->SetValue(40, 0, 1); }, FALSE, 0},
      {"silent host load", [&] { return block->SetConstant(0, 0); }, TRUE, 0},
  };
  for (const Row& r : rows) {
    owner.messages.clear();
    EXPECT_EQ(r.set(), r.result) << r.what;
    EXPECT_EQ(owner.messages, std::vector<RefMessage>(r.messages, REFMSG_CHANGE)) << r.what;
  }
  EXPECT_EQ(ValueAt(5, 0), 1);
  EXPECT_EQ(ValueAt(0, 0), 0);
}

TEST_F(ParamBlockTest, AnimateModeKeysSwitches) {
  hostsdk::SetAnimateMode(true);
  ASSERT_TRUE(block->SetValue(1, 1600, 0));   // footer off from frame 10
  ASSERT_TRUE(block->SetValue(14, 1600, 0));  // not animatable: constant
  hostsdk::SetAnimateMode(false);
  std::vector<ParamKey> keys;
  block->GetKeys(1, keys);
  EXPECT_EQ(keys, (std::vector<ParamKey>{{0, 1}, {1600, 0}}));
  ASSERT_TRUE(block->SetValue(1, 3200, 1));  // with keys, a set keys in any mode
  const std::pair<TimeValue, int> rows[] = {{0, 1}, {1600, 0}, {2000, 0}, {4000, 1}};
  for (const auto& [t, v] : rows) EXPECT_EQ(ValueAt(1, t), v) << t;
  EXPECT_EQ(ValueAt(14, 0), 0);
}

}  // namespace
