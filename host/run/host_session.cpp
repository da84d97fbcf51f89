// Plug-ins, notices and scenes shared by the commands.
#include "host_session.h"

#include <cstdio>

#include "clock.h"
#include "raster_host.h"
#include "text_codec.h"
#include "win_gdi.h"

namespace lumatrice {
namespace {

// The session whose display gets effect notices; one per process.
HostSession* g_session = nullptr;

std::string OneLine(const char* text) {
  std::string s = text ? text : "";
  for (char& c : s)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return s;
}

}  // namespace

HostSession::HostSession() {
  g_session = this;
  // A batch run never waits for a click: a notice is one line on stderr.
  textraster::SetMessageBoxHandler([](const char* text, const char* caption, UINT) {
    const std::string line =
        "lumatrice: " + OneLine(caption) + ": " + OneLine(text);
    if (g_session)
      g_session->Notice(line);
    else
      std::fprintf(stderr, "%s\n", line.c_str());
    return 1;  // IDOK
  });
}

HostSession::~HostSession() { Close(); }

void HostSession::Close() {
  textraster::SetMessageBoxHandler({});
  if (g_session == this) g_session = nullptr;
  loader_.Unload();
}

void HostSession::LoadPlugins(const std::vector<std::string>& extra) {
  pluginloader::FolderOptions options;
  options.folders = extra;
  folders_ = pluginloader::PluginFolders(options);
  loader_.LoadFolders(folders_);
}

ClassLookup HostSession::Lookup() const {
  return [this](SClass_ID super, Class_ID id) { return loader_.FindClass(super, id); };
}

ClassDesc* HostSession::LumatriceClass() const {
  return loader_.FindClass(RENDER_EFFECT_CLASS_ID, kLumatriceClassID);
}

void HostSession::SetProgress(NoticeSink* progress) { progress_ = progress; }

void HostSession::Notice(const std::string& line) {
  if (progress_)
    progress_->Notice(line);
  else
    std::fprintf(stderr, "%s\n", line.c_str());
}

bool HostSession::OpenScene(const std::string& file, bool demo, Scene& scene,
                            std::string& error) {
  if (!file.empty()) {
    std::vector<std::string> warnings;
    if (!Scene::Load(file, Lookup(), scene, warnings, error)) return false;
    for (const std::string& w : warnings) Notice("lumatrice: warning: " + w);
    return true;
  }
  ClassDesc* cd = LumatriceClass();
  if (!cd) {
    error = "the Lumatrice effect is not among the loaded plug-ins (folders searched:";
    for (const std::string& f : folders_) error += " " + f;
    error += "); see `lumatrice plugins`";
    return false;
  }
  Scene fresh;
  if (!fresh.AddEffect(cd, error)) return false;
  if (demo) {
    ParamBlock2* block = BlockOf(fresh.items[0].effect);
    for (const auto& [name, value] : LumatriceProvider().DemoTexts()) {
      const ParamDef* def = FindParam(block, name);
      if (!def || !ParamFromText(*block, *def, value, std::nullopt, error)) {
        error = "the Lumatrice effect has no usable parameter \"" + std::string(name) + "\"";
        return false;
      }
    }
  }
  scene = std::move(fresh);
  return true;
}

bool ApplyParameterSets(Scene& scene, const std::vector<std::string>& sets,
                        std::optional<int> effect_index, std::optional<TimeValue> at,
                        std::string& error) {
  if (sets.empty()) return true;
  std::vector<Effect*> targets;
  if (effect_index) {
    const int i = *effect_index;
    if (i < 1 || i > int(scene.items.size())) {
      error = "there is no render effect " + std::to_string(i) + " (the scene has " +
              std::to_string(scene.items.size()) + ")";
      return false;
    }
    if (!scene.items[i - 1].effect) {
      error = "render effect " + std::to_string(i) + " has no loaded plug-in and cannot be changed";
      return false;
    }
    targets.push_back(scene.items[i - 1].effect);
  } else {
    targets = scene.LiveEffects();
  }
  if (targets.empty()) {
    error = "the scene has no loaded render effect to set parameters on";
    return false;
  }
  for (const std::string& set : sets) {
    const auto eq = set.find('=');
    if (eq == std::string::npos || eq == 0) {
      error = "\"" + set + "\": expected NAME=VALUE, e.g. \"Display Date=on\"";
      return false;
    }
    const std::string name = set.substr(0, eq);
    const std::string value = set.substr(eq + 1);
    int hits = 0;
    std::string known;
    for (Effect* e : targets) {
      ParamBlock2* block = BlockOf(e);
      if (known.empty())
        for (const std::string& n : ParamNames(block)) known += (known.empty() ? "" : ", ") + n;
      const ParamDef* def = FindParam(block, name);
      if (!def) continue;
      if (!ParamFromText(*block, *def, value, at, error)) return false;
      ++hits;
    }
    if (hits == 0) {
      error = "unknown parameter \"" + name + "\" (known: " + known + ")";
      return false;
    }
  }
  return true;
}

bool PinRunClock(const std::string& clock, std::string& error) {
  SYSTEMTIME at;
  if (clock.empty()) {
    textraster::UnpinLocalTime();
    GetLocalTime(&at);
  } else if (!ParseClock(clock, at, error)) {
    error = "clock: " + error;
    return false;
  }
  textraster::PinLocalTime(at);
  return true;
}

std::string ModuleVersionValue(const pluginloader::LoadedModule& module, std::u16string_view key) {
  if (!module.version_info) return "";
  const auto value = module.version_info->Find(key);
  return value ? Utf16ToUtf8(*value) : "";
}

}  // namespace lumatrice
