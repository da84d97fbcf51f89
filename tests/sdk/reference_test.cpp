// References: both sides of every link stay in step through replacement,
// notification and the death of either side.
#include <gtest/gtest.h>

#include "sdk_fixtures.h"

namespace {

TEST(Reference, ReplaceMovesTheMakerBetweenDependentsLists) {
  Recorder a, b;
  Recorder maker(2);
  struct Step {
    int which;
    Recorder* target;
    RefResult result;
    int deps_a, deps_b;
  };
  const Step steps[] = {
      {0, &a, REF_SUCCEED, 1, 0},      {1, &a, REF_SUCCEED, 1, 0},  // two links, one dependent
      {0, &b, REF_SUCCEED, 1, 1},      {1, nullptr, REF_SUCCEED, 0, 1},
      {2, &a, REF_FAIL, 0, 1},         {-1, &a, REF_FAIL, 0, 1},
      {1, &b, REF_SUCCEED, 0, 1},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(maker.ReplaceReference(s.which, s.target), s.result) << s.which;
    EXPECT_EQ(a.NumDependents(), s.deps_a) << s.which;
    EXPECT_EQ(b.NumDependents(), s.deps_b) << s.which;
  }
  b.NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  EXPECT_EQ(maker.messages, std::vector<RefMessage>{REFMSG_CHANGE});  // once per maker
  maker.DeleteAllRefs();
  EXPECT_EQ(b.NumDependents(), 0);
  EXPECT_EQ(maker.GetReference(0), nullptr);
}

TEST(Reference, EitherSideDyingUnlinksTheOther) {
  Recorder target;
  auto* maker = new Recorder;
  maker->ReplaceReference(0, &target);
  maker->DeleteThis();
  EXPECT_EQ(target.NumDependents(), 0);
  target.NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);  // reaches no dead maker

  Recorder holder(2);
  auto* doomed = new Recorder;
  holder.ReplaceReference(0, doomed);
  holder.ReplaceReference(1, doomed);
  doomed->DeleteThis();
  EXPECT_EQ(holder.GetReference(0), nullptr);
  EXPECT_EQ(holder.GetReference(1), nullptr);
  EXPECT_EQ(holder.ReplaceReference(0, &target), REF_SUCCEED);  // no stale link in the way
  EXPECT_EQ(target.NumDependents(), 1);
}

TEST(Reference, NotifySurvivesListChangesDuringTheCall) {
  Recorder target, late;
  auto* first = new Recorder;
  auto* second = new Recorder;
  first->ReplaceReference(0, &target);
  second->ReplaceReference(0, &target);
  first->on_notify = [&](Recorder&, RefTargetHandle) {
    if (second) second->DeleteThis();
    second = nullptr;
    late.ReplaceReference(0, &target);
  };
  target.NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  EXPECT_TRUE(late.messages.empty());  // joined during the call
  EXPECT_EQ(target.NumDependents(), 2);
  first->DeleteThis();

  // A dependent may even delete the notifying target.
  auto* doomed = new Recorder;
  Recorder killer, after;
  killer.ReplaceReference(0, doomed);
  after.ReplaceReference(0, doomed);
  killer.on_notify = [](Recorder&, RefTargetHandle from) { from->DeleteThis(); };
  doomed->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  EXPECT_EQ(after.GetReference(0), nullptr);
  EXPECT_TRUE(after.messages.empty());
}

TEST(Values, IntervalAndCStr) {
  const std::tuple<Interval, Interval, Interval> meets[] = {
      {Interval(0, 10), Interval(5, 20), Interval(5, 10)},
      {Interval(0, 10), Interval(11, 20), NEVER},
      {Interval(), FOREVER, NEVER},
  };
  for (auto [a, b, meet] : meets) EXPECT_TRUE((a &= b) == meet) << a.Start() << ".." << a.End();

  CStr a = "abc";
  CStr b = a;
  a = a;             // self-assignment keeps the text
  a = a.data() + 1;  // assignment from its own text
  EXPECT_STREQ(a, "bc");
  CStr moved = std::move(b);
  EXPECT_STREQ(b.data(), "");
  EXPECT_STREQ(moved, "abc");
  EXPECT_STREQ(CStr(nullptr).data(), "");
}

}  // namespace
