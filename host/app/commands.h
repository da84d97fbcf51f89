// The lumatrice commands. Each returns the process exit status (status.h):
// kExitOk done, kExitFailed failed, kExitUsage a wrong command line,
// kExitCheckFailed `verify` found frames not stamped (or, with --clean,
// stamped) or `preflight` captions that would be lost, kExitCancelled Ctrl-C.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host_session.h"
#include "movie_options.h"
#include "pipeline.h"
#include "run_hooks.h"
#include "run_plan.h"
#include "status.h"  // the exit statuses
#include "view_transform.h"

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
  MovieArgs movie;         // when the output or input is a movie
  std::string farm_segment;  // a farm chunk: its frames of the movie output go here
  ColourOptions colour;           // --ocio, --colorspace, --display, --view, --caption-space
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

// A render or stamp once its frames, output and source are known: the
// checks every run shares, the pipeline, the summary.
int RunJob(HostSession& host, Scene& scene, const JobArgs& args, const std::vector<int>& frames,
           const SequencePattern& output, FrameSource& source, const FrameSizer& sizer,
           const char* command, const char* verb);

// The run options of a job's command line.
RunOptions RunOptionsOf(const JobArgs& args);

// The scene of a render or its preflight: opened (the demo scene when
// `demo` and no file is given), `--set` applied, host settings applied, and
// the frame size (the command line's, the scene's, else 1280x720) and the
// frames to render (the command line's, the scene's, else 1-60) worked out.
Status OpenRenderScene(HostSession& host, const JobArgs& args, bool demo, Scene& scene,
                       RunPlan& plan);

// Installs the Ctrl-C / SIGTERM handling: while frames flow it cancels the
// render in order; in every other phase the program ends at once (130).
void InstallCancelHandlers();

}  // namespace lumatrice
