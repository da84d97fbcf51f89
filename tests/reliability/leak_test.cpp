// Effects created and destroyed the way the host's scenes do it leave nothing
// behind: after a few rounds to warm the caches, the heap in use comes back
// to the same figure after every round. (Found by the scene fuzzer's leak
// check: a refused scene left its effect's parameter block behind.)
#include <gtest/gtest.h>

#include <malloc.h>

#include <functional>
#include <string>
#include <vector>

#include "class_desc.h"
#include "scene.h"

namespace {

using lumatrice::Scene;

ClassDesc* Lookup(SClass_ID, Class_ID id) {
  return id == lumatrice_class_id ? &LumatriceClassDesc : nullptr;
}

std::size_t HeapInUse() { return mallinfo2().uordblks; }

TEST(Leaks, ScenesGiveBackEverythingTheirEffectsTook) {
  const std::string refused =
      R"({"format_version": 1, "render_effects": [{"class_id": ["0x31b82d35", "0x47d45ce7"],
          "superclass_id": 4240, "reference_0": {"parameters": {"Bogus": true}}}]})";
  struct Case {
    const char* what;
    std::function<void()> round;
  };
  const Case cases[] = {
      {"added and destroyed",
       [] {
         Scene scene;
         std::string error;
         ASSERT_TRUE(scene.AddEffect(&LumatriceClassDesc, error)) << error;
         ASSERT_TRUE(scene.AddEffect(&LumatriceClassDesc, error)) << error;
       }},
      {"built from a file that is refused",
       [&] {
         lumatrice::SceneDocument doc;
         std::string error;
         ASSERT_TRUE(lumatrice::ParseScene(refused, "mem", doc, error)) << error;
         Scene scene;
         std::vector<std::string> warnings;
         ASSERT_FALSE(Scene::Build(doc, "mem", Lookup, scene, warnings, error));
       }},
  };
  constexpr int kWarmRounds = 3, kRounds = 40;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int i = 0; i < kWarmRounds; ++i) c.round();
    const std::size_t settled = HeapInUse();
    for (int i = 0; i < kRounds; ++i) c.round();
    // A parameter block is over a kilobyte; forty of them cannot hide in this.
    EXPECT_LE(HeapInUse(), settled + 256) << "heap grew over " << kRounds << " rounds";
  }
}

}  // namespace
