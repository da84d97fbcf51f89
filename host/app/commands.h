// The lumatrice commands. Each returns the process exit status: 0 done,
// 1 failed, 130 cancelled (Ctrl-C).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host_session.h"
#include "run_plan.h"
#include "status.h"  // the exit statuses

namespace lumatrice {

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
  std::string manifest;    // caption manifest JSON; "-" for standard output
  bool dry_run = false;    // plan and write the manifest, touch no image
  std::string slate = "replace";  // or "prepend"
  bool allow_restamp = false;     // stamp only
  bool skip_bad_frames = false;   // stamp only: pass over unreadable or missing frames
  bool wait_lock = false;  // wait for another run writing the same output
  bool full_reencode = false;     // stamp only: never copy unchanged blocks
};

// Options of `verify`.
struct VerifyArgs {
  std::string input;
  std::string frames;
  bool clean = false;  // succeed when no frame is stamped
  bool json = false;
};

// Options of `preflight`: a render's options and a report format.
struct PreflightArgs {
  JobArgs job;
  bool json = false;
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
int RunVerify(const VerifyArgs& args);
int RunPreflight(HostSession& host, const PreflightArgs& args);

// The run options of a job's command line.
RunOptions RunOptionsOf(const JobArgs& args);

// The scene of a render or its preflight: opened (the demo scene when
// `demo` and no file is given), `--set` applied, host settings applied, and
// the frame size (the command line's, the scene's, else 1280x720) and the
// frames to render (`range`: the command line's, the scene's, else 1-60)
// worked out. kExitOk, or the status of a failure already reported.
int OpenRenderScene(HostSession& host, const JobArgs& args, bool demo, Scene& scene,
                    int& width, int& height, std::string& range, std::vector<int>& frames);

// Installs the Ctrl-C / SIGTERM handling: while frames flow it cancels the
// render in order; in every other phase the program ends at once (130).
void InstallCancelHandlers();

}  // namespace lumatrice
