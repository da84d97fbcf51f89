// Fuzz target: the scene-file loader, from any bytes. A text either loads,
// builds its effects with the effect's own class and saves back to a text
// that loads to the same scene, or is refused with a message naming the
// file; nothing else, and no effect outlives a refused load.
#include <cstdint>
#include <string>
#include <vector>

#include "class_desc.h"
#include "fuzz_input.h"
#include "scene.h"
#include "transfer_worker.h"

namespace {

const char kLabel[] = "fuzz.scene";

ClassDesc* Lookup(SClass_ID, Class_ID id) {
  return id == lumatrice_class_id ? &LumatriceClassDesc : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  lumatrice::SceneDocument doc;
  std::string error;
  if (!lumatrice::ParseScene(text, kLabel, doc, error)) {
    FUZZ_CHECK(error.rfind(kLabel, 0) == 0);
    return 0;
  }

  std::string saved;
  {
    lumatrice::Scene scene;
    std::vector<std::string> warnings;
    if (!lumatrice::Scene::Build(doc, kLabel, Lookup, scene, warnings, error)) {
      FUZZ_CHECK(error.rfind(kLabel, 0) == 0);
      FUZZ_CHECK(scene.items.empty());
      FUZZ_CHECK(effect_count == 0);
      return 0;
    }
    FUZZ_CHECK(scene.items.size() == doc.effects.size());
    FUZZ_CHECK(lumatrice::Scene::Build(doc, kLabel, nullptr, scene, warnings, error) ||
               !error.empty());
    lumatrice::Scene again;
    FUZZ_CHECK(lumatrice::Scene::Build(doc, kLabel, Lookup, again, warnings, error));
    FUZZ_CHECK(again.Serialize(saved, error));
  }
  FUZZ_CHECK(effect_count == 0);

  // What was saved must load, and save to the very same text.
  lumatrice::SceneDocument doc2;
  FUZZ_CHECK(lumatrice::ParseScene(saved, kLabel, doc2, error));
  lumatrice::Scene scene2;
  std::vector<std::string> warnings2;
  FUZZ_CHECK(lumatrice::Scene::Build(doc2, kLabel, Lookup, scene2, warnings2, error));
  std::string saved2;
  FUZZ_CHECK(scene2.Serialize(saved2, error));
  FUZZ_CHECK(saved == saved2);
  return 0;
}
