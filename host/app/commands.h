// The lumatrice commands. Each returns the process exit status: 0 done,
// 1 failed, 130 cancelled (Ctrl-C).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host_session.h"

namespace lumatrice {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 130;

// Options of `render` and `stamp`.
struct JobArgs {
  std::string input;       // stamp only
  std::string output;
  std::string scene_file;
  std::string frames;
  std::optional<int> render_start;
  std::vector<std::string> sets;
  std::optional<std::string> scene_path;
  std::string clock;
  std::optional<int> fps;
  std::string size;        // render only
  bool quiet = false;
};

// Host settings a scene command may change.
struct SettingsArgs {
  std::optional<int> fps;
  std::string time_display;
  std::optional<std::string> scene_path;
  std::optional<std::string> clock;
  std::optional<std::string> frames;
  std::optional<std::string> size;
};

struct SceneArgs {
  std::string file;
  std::vector<std::string> sets;
  SettingsArgs settings;
  std::optional<int> effect;
  std::optional<int> at_frame;
  bool force = false;
  bool empty = false;
  bool json = false;
};

int RunRender(HostSession& host, const JobArgs& args);
int RunStamp(HostSession& host, const JobArgs& args);
int RunSceneNew(HostSession& host, const SceneArgs& args);
int RunSceneShow(HostSession& host, const SceneArgs& args);
int RunSceneSet(HostSession& host, const SceneArgs& args);
int RunPlugins(HostSession& host);

// Installs the Ctrl-C / SIGTERM handling that cancels a render.
void InstallCancelHandlers();

}  // namespace lumatrice
