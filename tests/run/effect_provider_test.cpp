// The host's prediction of an apply, through the provider of the effect's
// class: which caption items a frame gets and when the slate replaces them.
#include <gtest/gtest.h>

#include "effect_provider.h"
#include "host_session.h"

using namespace lumatrice;

namespace {

std::vector<std::string> Items(const EffectLayout& layout) {
  std::vector<std::string> items;
  for (const CaptionLine& l : layout.lines)
    if (!l.visible.empty()) items.push_back(l.item);
  return items;
}

}  // namespace

TEST(EffectProvider, PredictsTheLumatriceEffectsCaptionsAndSlate) {
  EXPECT_EQ(ProviderFor(Class_ID(0x31b82d35, 1)), nullptr);
  EXPECT_EQ(ProviderOf(nullptr), nullptr);
  HostSession host;
  host.LoadPlugins({});
  ClassDesc* cd = host.LumatriceClass();
  ASSERT_NE(cd, nullptr) << "Lumatrice.dlv beside the test";
  const std::vector<std::string> all_off = {
      "Display Header=off", "Display Footer=off", "Display Comments=off",
      "Display Frames=off", "Display Filename=off", "Display Date=off", "Display Slate=off"};
  struct Row {
    std::vector<std::string> sets;
    bool slate_mark, slate;
    std::vector<std::string> items;
  } rows[] = {
      {{}, true, false, {}},
      {{"Display Slate=on"}, false, false, {}},
      {{"Display Footer=on", "Display Frames=on", "Display Date=on"}, false, false,
       {"frame_time", "date"}},
      {{"Display Frames=on"}, false, false, {}},  // the footer switch rules its lines
      {{"Display Header=on", "Display Comments=on", "Comments=Take 3"}, false, false, {"header"}},
      // The slate in place of the footer; on 180 rows its first label lies above the frame.
      {{"Display Slate=on", "Display Footer=on", "Display Frames=on"}, true, true,
       {"slate_source_file", "slate_time_date_label", "slate_time_date"}},
  };
  for (const Row& row : rows) {
    Scene scene;
    std::string error;
    ASSERT_TRUE(scene.AddEffect(cd, error)) << error;
    std::vector<std::string> sets = all_off;
    sets.insert(sets.end(), row.sets.begin(), row.sets.end());
    ASSERT_TRUE(ApplyParameterSets(scene, sets, std::nullopt, std::nullopt, error)) << error;
    Effect* effect = scene.items[0].effect;
    const EffectProvider* provider = ProviderOf(effect);
    ASSERT_EQ(provider, ProviderFor(kLumatriceClassID));
    ASSERT_NE(provider, nullptr);
    FrameContext context;
    context.width = 320;
    context.height = 180;
    context.time_text = "2";
    const auto layout = provider->Predict(effect, 0, context, row.slate_mark);
    ASSERT_TRUE(layout);
    const std::string where = ::testing::PrintToString(row.sets);
    EXPECT_EQ(layout->slate, row.slate) << where;
    EXPECT_EQ(Items(*layout), row.items) << where;
  }
}
