// What every lumatrice command shares: the loaded plug-ins, notices from
// effects, the scene a job uses, and the host settings taken from it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lumatrice_provider.h"
#include "plugin_loader.h"
#include "scene.h"

namespace lumatrice {

// Takes effect notices while something else holds stderr (a progress bar).
class NoticeSink {
 public:
  virtual ~NoticeSink() = default;
  virtual void Notice(const std::string& line) = 0;
};

class HostSession {
 public:
  HostSession();
  ~HostSession();

  // Loads the modules of the default folders plus `extra` ones.
  void LoadPlugins(const std::vector<std::string>& extra);
  ClassLookup Lookup() const;
  ClassDesc* LumatriceClass() const;
  const pluginloader::PluginLoader& loader() const { return loader_; }
  std::vector<std::string> Folders() const { return folders_; }

  // Where effect notices go while a render shows progress.
  void SetProgress(NoticeSink* progress);
  void Notice(const std::string& line);

  // The scene of a job: the file given, else a fresh scene with one effect
  // (with the demo's texts when `demo`). Warnings are printed.
  bool OpenScene(const std::string& file, bool demo, Scene& scene, std::string& error);

  // Runs before the modules unload.
  void Close();

 private:
  pluginloader::PluginLoader loader_;
  std::vector<std::string> folders_;
  NoticeSink* progress_ = nullptr;
};

// Applies "NAME=VALUE" to every live effect that has parameter NAME; with
// `effect_index` (1-based) only to that entry. `at` keys animatable switches.
bool ApplyParameterSets(Scene& scene, const std::vector<std::string>& sets,
                        std::optional<int> effect_index, std::optional<TimeValue> at,
                        std::string& error);

// Holds the effect's clock still for one run: at `clock` (ISO-8601), or when
// it is empty at the time of this call, so that a render crossing midnight
// keeps the date it began with on every frame. False with `error` for a
// malformed time.
bool PinRunClock(const std::string& clock, std::string& error);

// A value of a module's version record as UTF-8, "" without the record or the
// key. Every host reads module versions here, so a stamp marker says the same
// whichever host wrote it.
std::string ModuleVersionValue(const pluginloader::LoadedModule& module,
                               std::u16string_view key = u"FileVersion");


}  // namespace lumatrice
