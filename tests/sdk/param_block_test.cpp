// Parameter blocks: defaults, keyed switches and their validity, text reads,
// and change notification of the owner.
#include <gtest/gtest.h>

#include "host_api.h"
#include "param_block.h"
#include "sdk_test_util.h"

namespace {

class ParamBlockTest : public testing::Test {
 protected:
  void SetUp() override {
    hostsdk::ResetHost();
    desc = MakeFifteenParamDesc(&cd);
    cd.MakeAutoParamBlocks(&owner);
    block = static_cast<ParamBlock2*>(owner.GetReference(0));
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

TEST_F(ParamBlockTest, AutoBlockHoldsTheDefaults) {
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->NumDependents(), 1);
  EXPECT_EQ(block->ID(), 0);
  EXPECT_EQ(block->NumParams(), 15);
  const int defaults[15] = {1, 1, 1, -1, 1, 0, 0, 1, 1, -1, 1, -1, 1, 1, 1};
  for (ParamID id = 0; id < 15; ++id) {
    if (defaults[id] < 0) {
      EXPECT_STREQ(block->GetStr(id), "") << id;
    } else {
      EXPECT_EQ(ValueAt(id, 0), defaults[id]) << id;
    }
  }
}

TEST_F(ParamBlockTest, KeyedSwitchValueAndValidity) {
  ASSERT_TRUE(block->SetKeys(7, {{300, 1}, {100, 0}, {200, 0}, {400, 1}, {300, 0}}));
  std::vector<ParamKey> keys;
  ASSERT_TRUE(block->GetKeys(7, keys));
  EXPECT_EQ(keys, (std::vector<ParamKey>{{100, 0}, {200, 0}, {300, 0}, {400, 1}}));
  ASSERT_TRUE(block->SetKeys(7, {{100, 1}, {200, 0}, {300, 0}, {400, 1}}));
  struct Row {
    TimeValue t;
    int v;
    TimeValue start, stop;
  };
  const Row rows[] = {
      {-5000, 1, TIME_NegInfinity, 199},  // before the first key: the first key
      {100, 1, TIME_NegInfinity, 199},
      {199, 1, TIME_NegInfinity, 199},
      {200, 0, 200, 399},  // two equal keys hold one span
      {350, 0, 200, 399},
      {400, 1, 400, TIME_PosInfinity},
      {TIME_PosInfinity, 1, 400, TIME_PosInfinity},
  };
  for (const Row& r : rows) {
    int v = -1;
    Interval valid = FOREVER;
    ASSERT_TRUE(block->GetValue(7, r.t, v, valid));
    EXPECT_EQ(v, r.v) << r.t;
    EXPECT_TRUE(valid == Interval(r.start, r.stop)) << r.t << ": " << valid.Start() << ".."
                                                    << valid.End();
  }
  // Narrowing intersects with what the caller already had.
  Interval valid(250, 1000);
  int v = 0;
  block->GetValue(7, 300, v, valid);
  EXPECT_TRUE(valid == Interval(250, 399));
}

TEST_F(ParamBlockTest, ConstantLeavesValidityAlone) {
  Interval valid(10, 20);
  int v = 0;
  ASSERT_TRUE(block->GetValue(14, 15, v, valid));
  EXPECT_TRUE(valid == Interval(10, 20));
  EXPECT_FALSE(block->SetKeys(14, {{0, 1}}));  // not animatable
}

TEST_F(ParamBlockTest, StrIsNeverNull) {
  ASSERT_TRUE(block->SetValue(3, 0, "note"));
  struct Row {
    ParamID id;
    int tab;
    const char* want;
  };
  const Row rows[] = {{3, 0, "note"}, {9, 0, ""}, {0, 0, ""}, {-1, 0, ""}, {15, 0, ""},
                      {3, 1, ""}};
  for (const Row& r : rows) {
    const char* s = block->GetStr(r.id, 0, r.tab);
    ASSERT_NE(s, nullptr) << r.id;
    EXPECT_STREQ(s, r.want) << r.id;
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
      {"same text", [&] { return block->SetValue(3, 0, "hello"); }, TRUE, 0},
      {"null text", [&] { return block->SetValue(3, 0, (const char*)nullptr); }, TRUE, 1},
      {"text into switch", [&] { return block->SetValue(0, 0, "x"); }, FALSE, 0},
      {"int into text", [&] { return block->SetValue(3, 0, 1); }, FALSE, 0},
      {"unknown ID", [&] { return block->SetValue(40, 0, 1); }, FALSE, 0},
      {"table index", [&] { return block->SetValue(0, 0, 0, 2); }, FALSE, 0},
      {"silent host load", [&] { return block->SetConstant(0, 0); }, TRUE, 0},
  };
  for (const Row& r : rows) {
    owner.messages.clear();
    EXPECT_EQ(r.set(), r.result) << r.what;
    ASSERT_EQ(owner.messages.size(), r.messages) << r.what;
    if (r.messages) {
      EXPECT_EQ(owner.messages[0], REFMSG_CHANGE) << r.what;
    }
  }
  EXPECT_EQ(ValueAt(5, 0), 1);
  EXPECT_STREQ(block->GetStr(3), "");
  EXPECT_EQ(ValueAt(0, 0), 0);
}

TEST_F(ParamBlockTest, AnimateModeKeysSwitches) {
  hostsdk::SetAnimateMode(true);
  ASSERT_TRUE(block->SetValue(1, 1600, 0));  // footer off from frame 10
  ASSERT_TRUE(block->SetValue(14, 1600, 0));  // not animatable: constant
  hostsdk::SetAnimateMode(false);
  std::vector<ParamKey> keys;
  block->GetKeys(1, keys);
  EXPECT_EQ(keys, (std::vector<ParamKey>{{0, 1}, {1600, 0}}));
  EXPECT_EQ(ValueAt(1, 0), 1);
  EXPECT_EQ(ValueAt(1, 1600), 0);
  // With keys, a set keys even outside animate mode.
  ASSERT_TRUE(block->SetValue(1, 3200, 1));
  EXPECT_EQ(ValueAt(1, 2000), 0);
  EXPECT_EQ(ValueAt(1, 4000), 1);
  EXPECT_EQ(ValueAt(14, 0), 0);
  ASSERT_TRUE(block->ClearKeys(1));
  EXPECT_EQ(ValueAt(1, 1600), 1);
}

TEST(ParamBlock, InvalidDescriptorMakesNoBlock) {
  TestClassDesc cd;
  testing::internal::CaptureStderr();
  ParamBlockDesc2 bad(0, "Bad", 0, &cd, P_AUTO_CONSTRUCT, 0, 0, "A", 99, 0, 0, end, end);
  testing::internal::GetCapturedStderr();
  Recorder owner;
  cd.MakeAutoParamBlocks(&owner);
  EXPECT_EQ(owner.GetReference(0), nullptr);
  ParamBlock2 empty(&bad);
  EXPECT_EQ(empty.NumParams(), 0);
}

}  // namespace
