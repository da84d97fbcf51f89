// The caption manifest: which apply calls a run makes (the slate mark, the
// prepended slate) and the JSON of one planned frame.
#include <gtest/gtest.h>

#include "host_session.h"
#include "manifest.h"

using namespace lumatrice;

TEST(Manifest, PlansTheSlateOnceAtTheRenderStart) {
  struct Row {
    std::vector<int> frames;
    int start;
    bool prepend;
    // frame:source, '*' for the slate mark, '+' for a slate copy
    std::vector<std::string> plan;
    std::optional<int> slate_frame;
  } rows[] = {
      {{1, 2}, 1, false, {"1:1*", "2:2"}, std::nullopt},
      {{1, 2}, 1, true, {"0:1*+", "1:1", "2:2"}, 0},
      {{3, 1, 2}, 1, false, {"3:3", "1:1*", "2:2"}, std::nullopt},
      {{5, 5}, 5, false, {"5:5*", "5:5"}, std::nullopt},  // the first time only
      {{1, 2}, 7, true, {"1:1", "2:2"}, std::nullopt},    // no frame at the start
  };
  for (const Row& row : rows) {
    std::vector<std::string> plan;
    for (const PlannedApply& a : PlanApplies(row.frames, row.start, row.prepend, 160)) {
      EXPECT_EQ(a.t, TimeValue(a.source_frame * 160));
      plan.push_back(std::to_string(a.frame) + ":" + std::to_string(a.source_frame) +
                     (a.slate_mark ? "*" : "") + (a.slate_copy ? "+" : ""));
    }
    EXPECT_EQ(plan, row.plan) << ::testing::PrintToString(row.frames);
    EXPECT_EQ(PrependedSlateFrame(row.frames, row.start, row.prepend), row.slate_frame);
  }
}

TEST(Manifest, NumbersEffectsAmongAllAndGivesEachLineItsBoxes) {
  HostSession host;
  host.LoadPlugins({});
  ClassDesc* cd = host.LumatriceClass();
  ASSERT_NE(cd, nullptr) << "Lumatrice.dlv beside the test";
  Scene scene;
  std::string error;
  ASSERT_TRUE(scene.AddEffect(cd, error)) << error;
  ASSERT_TRUE(ApplyParameterSets(scene,
                                 {"Display Footer=off", "Display Slate=off", "Display Header=on",
                                  "Display Comments=on", "Comments=Take 3"},
                                 std::nullopt, std::nullopt, error))
      << error;
  Scene::Item missing;  // a class not loaded: counted, not laid out
  missing.entry.class_name = "Gone";
  scene.items.insert(scene.items.begin(), std::move(missing));

  Manifest manifest(scene);
  manifest.SetRun("o/f.#.png", {4}, 4);
  FrameContext context;
  context.width = 40;
  context.height = 180;
  context.time_text = "4";
  manifest.Add(PlanApplies({4}, 4, false, 160)[0], "o/f.0004.png", context);
  const Json j = manifest.ToJson(true);

  EXPECT_EQ(j["run"]["output"], "o/f.#.png");
  EXPECT_EQ(j["run"]["frames"], Json::array({4}));
  EXPECT_EQ(j["run"]["render_start"], 4);
  ASSERT_EQ(j["frames"].size(), 1u);
  const Json& frame = j["frames"][0];
  EXPECT_EQ(frame["file"], "o/f.0004.png");
  EXPECT_EQ(frame["time"], 640);
  ASSERT_EQ(frame["effects"].size(), 1u);
  const Json& effect = frame["effects"][0];
  EXPECT_EQ(effect["effect"], 2);
  EXPECT_EQ(effect["layout"], "captions");
  // " Take 3 ": eight cells of 8x13 centred on x = 20 from row 2, wider
  // than the frame.
  EXPECT_EQ(effect["lines"], Json::parse(R"([{"item": "header", "text": " Take 3 ",
      "length": 8, "align": "center-top", "x": 20, "y": 2,
      "box": {"left": -12, "top": 2, "right": 52, "bottom": 15},
      "visible": {"left": 0, "top": 2, "right": 40, "bottom": 15}}])"));
}
