// A scene in memory: its settings and its render effects as live objects of
// the loaded plug-in classes. Entries whose class no loaded module offers stay
// as they were read, are skipped by renders and go back to the file unchanged.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "param_block.h"
#include "scene_file.h"

namespace lumatrice {

// Finds a loaded class; null when no module offers it.
using ClassLookup = std::function<ClassDesc*(SClass_ID superclass, Class_ID id)>;

class Scene {
 public:
  struct Item {
    EffectEntry entry;         // as read or last saved
    ClassDesc* desc = nullptr;  // null: class missing, entry kept verbatim
    Effect* effect = nullptr;
  };

  Scene() = default;
  ~Scene();
  Scene(Scene&& other) noexcept;
  Scene& operator=(Scene&& other) noexcept;
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  // Builds the effects of `doc`. On failure `out` is left as it was and
  // nothing stays alive; entries of missing classes add to `warnings`.
  static bool Build(const SceneDocument& doc, const std::string& label, const ClassLookup& lookup,
                    Scene& out, std::vector<std::string>& warnings, std::string& error);

  // Reads and builds a scene file; `label` of messages is the path.
  static bool Load(const std::string& path, const ClassLookup& lookup, Scene& out,
                   std::vector<std::string>& warnings, std::string& error);

  // Adds a fresh effect of `cd` with its defaults at the end of the list.
  bool AddEffect(ClassDesc* cd, std::string& error);

  // The document as it stands now: live effects saved afresh, missing ones
  // as read. False when an effect fails to save.
  bool Capture(SceneDocument& doc, std::vector<bool>& keep_raw, std::string& error) const;
  bool Serialize(std::string& text, std::string& error) const;
  bool Save(const std::string& path, std::string& error) const;

  std::vector<Effect*> LiveEffects() const;

  SceneSettings settings;
  std::vector<Item> items;

 private:
  void Clear();
};

// ---- parameters by internal name -------------------------------------------

// The effect's parameter block with `block_id` as the host's concrete block;
// null when it has none.
ParamBlock2* BlockOf(Effect* effect, int block_id = 0);
const ParamDef* FindParam(ParamBlock2* block, const std::string& name);
std::vector<std::string> ParamNames(ParamBlock2* block);

// Switch: true/false (or 0/1), or {"value": ..., "keys": [{"time": ticks,
// "value": ...}, ...]} for an animated one. Text: a string.
bool ParamFromJson(ParamBlock2& block, const ParamDef& def, const Json& value,
                   const std::string& where, std::string& error);
Json ParamToJson(ParamBlock2& block, const ParamDef& def);

// "on"/"off", "true"/"false", "yes"/"no", "1"/"0" for switches, any text for
// texts. Without `at` a switch loses its keys and takes the one value; with
// `at` an animatable switch gets a key there.
bool ParamFromText(ParamBlock2& block, const ParamDef& def, const std::string& value,
                   std::optional<TimeValue> at, std::string& error);
std::string ParamToText(ParamBlock2& block, const ParamDef& def);

}  // namespace lumatrice
