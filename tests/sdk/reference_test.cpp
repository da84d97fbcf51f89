// References: both sides of every link stay in step through replacement,
// notification and the death of either side.
#include <gtest/gtest.h>

#include "sdk_test_util.h"

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
      {0, &a, REF_SUCCEED, 1, 0},
      {1, &a, REF_SUCCEED, 1, 0},   // two references to a: one dependent
      {0, &b, REF_SUCCEED, 1, 1},   // a still held through reference 1
      {1, nullptr, REF_SUCCEED, 0, 1},
      {2, &a, REF_FAIL, 0, 1},      // no such reference
      {-1, &a, REF_FAIL, 0, 1},
      {0, &b, REF_SUCCEED, 0, 1},   // same target again: no change
  };
  for (const Step& s : steps) {
    EXPECT_EQ(maker.ReplaceReference(s.which, s.target), s.result) << s.which;
    EXPECT_EQ(a.NumDependents(), s.deps_a) << s.which;
    EXPECT_EQ(b.NumDependents(), s.deps_b) << s.which;
  }
  EXPECT_EQ(maker.GetReference(0), &b);
  EXPECT_EQ(maker.GetReference(1), nullptr);
  maker.DeleteAllRefs();
  EXPECT_EQ(b.NumDependents(), 0);
  EXPECT_EQ(maker.GetReference(0), nullptr);
}

TEST(Reference, DeadMakerLeavesDependentsLists) {
  Recorder target;
  {
    Recorder maker;
    maker.ReplaceReference(0, &target);
    ASSERT_EQ(target.NumDependents(), 1);
  }
  EXPECT_EQ(target.NumDependents(), 0);
  target.NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);  // must not reach the dead maker
}

TEST(Reference, DeadTargetIsDroppedFromItsMakers) {
  Recorder maker(2);
  auto* target = new Recorder;
  maker.ReplaceReference(0, target);
  maker.ReplaceReference(1, target);
  target->DeleteThis();
  EXPECT_EQ(maker.GetReference(0), nullptr);
  EXPECT_EQ(maker.GetReference(1), nullptr);
  Recorder other;
  EXPECT_EQ(maker.ReplaceReference(0, &other), REF_SUCCEED);  // no stale link in the way
  EXPECT_EQ(other.NumDependents(), 1);
}

TEST(Reference, NotifyReachesEveryDependentOnce) {
  Recorder target, m1, m2(2);
  m1.ReplaceReference(0, &target);
  m2.ReplaceReference(0, &target);
  m2.ReplaceReference(1, &target);
  target.NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  EXPECT_EQ(m1.messages, std::vector<RefMessage>{REFMSG_CHANGE});
  EXPECT_EQ(m2.messages, std::vector<RefMessage>{REFMSG_CHANGE});
}

TEST(Reference, NotifySurvivesListChangesDuringTheCall) {
  Recorder target;
  auto* first = new Recorder;
  auto* second = new Recorder;
  Recorder late;
  first->ReplaceReference(0, &target);
  second->ReplaceReference(0, &target);
  // The first dependent deletes the second and adds a new one.
  first->on_notify = [&](Recorder&, RefTargetHandle) {
    if (second) second->DeleteThis();
    second = nullptr;
    late.ReplaceReference(0, &target);
  };
  target.NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  EXPECT_EQ(first->messages.size(), 1u);
  EXPECT_TRUE(late.messages.empty());  // joined during the call
  EXPECT_EQ(target.NumDependents(), 2);
  first->DeleteThis();
}

TEST(Reference, DependentMayDeleteTheNotifyingTarget) {
  auto* target = new Recorder;
  Recorder killer, after;
  killer.ReplaceReference(0, target);
  after.ReplaceReference(0, target);
  killer.on_notify = [](Recorder&, RefTargetHandle from) { from->DeleteThis(); };
  target->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  EXPECT_EQ(killer.GetReference(0), nullptr);
  EXPECT_EQ(after.GetReference(0), nullptr);
  EXPECT_TRUE(after.messages.empty());
}

TEST(Reference, AnimatableAndEffectDefaults) {
  struct Fx : Effect {
    RefResult NotifyRefChanged(Interval, RefTargetHandle, PartID&, RefMessage) override {
      return REF_SUCCEED;
    }
    void Apply(TimeValue, Bitmap*, RenderGlobalContext*, CheckAbortCallback*) override {}
  } fx;
  CStr s = "x";
  fx.GetClassName(s);
  EXPECT_EQ(s.Length(), 0);
  EXPECT_TRUE(fx.ClassID() == Class_ID(0, 0));
  EXPECT_EQ(fx.SuperClassID(), RENDER_EFFECT_CLASS_ID);
  EXPECT_EQ(fx.NumSubs(), 0);
  EXPECT_EQ(fx.NumRefs(), 0);
  EXPECT_EQ(fx.CreateParamDialog(nullptr), nullptr);
  EXPECT_EQ(fx.GBufferChannelsRequired(0), 0u);
  EXPECT_EQ(fx.ReplaceReference(0, nullptr), REF_FAIL);
}

TEST(Values, IntervalAndCStr) {
  struct Row {
    Interval a, b, meet;
  };
  const Row rows[] = {
      {Interval(0, 10), Interval(5, 20), Interval(5, 10)},
      {Interval(0, 10), Interval(11, 20), NEVER},
      {FOREVER, Interval(-3, 3), Interval(-3, 3)},
      {Interval(), FOREVER, NEVER},
  };
  for (const Row& r : rows) {
    Interval m = r.a;
    m &= r.b;
    EXPECT_TRUE(m == r.meet) << m.Start() << ".." << m.End();
  }
  EXPECT_TRUE(Interval().Empty());
  EXPECT_FALSE(FOREVER.Empty());
  EXPECT_TRUE(FOREVER.InInterval(TIME_NegInfinity));
  EXPECT_FALSE(NEVER.InInterval(0));

  CStr a = "abc";
  CStr b = a;
  a = a;  // self-assignment keeps the text
  a = a.data() + 1;  // assignment from its own text
  EXPECT_STREQ(a, "bc");
  EXPECT_STREQ(b, "abc");
  CStr moved = std::move(b);
  EXPECT_NE(b.data(), nullptr);
  EXPECT_STREQ(b.data(), "");
  EXPECT_EQ(moved.Length(), 3);
  CStr none(nullptr);
  EXPECT_STREQ(none.data(), "");
  EXPECT_TRUE(none.isNull());
}

}  // namespace
