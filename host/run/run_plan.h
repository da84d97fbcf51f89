// A run's set-up, made the same way for every host: the host settings the
// effect reads (frame rate, time display, scene path in Windows-1252, clock),
// the frame size and frames, and the output pattern with its checks.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scene.h"
#include "sequence.h"
#include "status.h"

namespace lumatrice {

inline constexpr const char* kDefaultFrames = "1-60";
inline constexpr int kDefaultWidth = 1280;
inline constexpr int kDefaultHeight = 720;
inline constexpr const char* kDefaultRenderOutput = "lumatrice-out/frame.#.png";

// What a host asks of a run. Empty fields fall back to the scene's
// settings, then to the defaults above.
struct RunOptions {
  std::string scene_file;                 // the scene's own file; "" for a built-in scene
  std::optional<std::string> scene_path;  // UTF-8: what effects show as the scene file
  std::string clock;                      // ISO-8601; "" pins the time of the call
  std::optional<int> fps;
  std::string frames;                     // "1-60"
  std::string size;                       // "1280x720"
};

struct RunPlan {
  int width = kDefaultWidth;
  int height = kDefaultHeight;
  std::string range;        // the frame list the frames came from
  std::vector<int> frames;  // in render order, none twice
};

// An absolute spelling with links resolved, for telling whether two paths
// name one file.
std::string Canonical(const std::string& path);

// The checks below fail with kUsage: the run was asked for something it
// must not do; MakeOutputFolder fails with kIo.

// Sets the host state effects read. Fails for a frame rate that does not
// divide 4800 or a malformed clock.
Status ApplyHostSettings(const RunOptions& options, const SceneSettings& scene);

// The frame size and frames.
Status PlanFrames(const RunOptions& options, const SceneSettings& scene, RunPlan& plan);

// Frames of `text` (else of `fallback`); a frame named twice is refused, as
// two writers would race for its file.
Status ResolveFrames(const std::string& text, const std::string& fallback,
                     std::vector<int>& frames);

// The output pattern, checked for one file per frame and a known writer.
Status ParseOutput(const std::string& text, const std::vector<int>& frames,
                   SequencePattern& out);

// The frames a run writes: its own, plus the slate's when prepended.
std::vector<int> WrittenFrames(const std::vector<int>& frames, std::optional<int> render_start,
                               bool prepend_slate);

// Fails when one of the `written` frames is the scene file.
Status CheckOutputSparesScene(const SequencePattern& output, const std::vector<int>& written,
                              const std::string& scene_file);

// Fails when one of the `written` frames or the manifest ("" or "-": none)
// is one of `inputs`, whatever the spelling or link.
Status CheckOutputSparesInputs(const SequencePattern& output, const std::vector<int>& written,
                               const std::vector<std::string>& inputs,
                               const std::string& manifest);

// Creates the folder of `frame`'s file.
Status MakeOutputFolder(const SequencePattern& output, int frame);

}  // namespace lumatrice
