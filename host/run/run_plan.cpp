// Host settings, frames and output of a run, and the checks that keep a run
// from writing over what it reads.
#include "run_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "frame_buffer.h"
#include "host_api.h"
#include "host_session.h"
#include "image_io.h"
#include "text_codec.h"

namespace lumatrice {
namespace fs = std::filesystem;

std::string Canonical(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
  return ec ? fs::absolute(path).lexically_normal().string() : p.string();
}

Status ApplyHostSettings(const RunOptions& options, const SceneSettings& scene) {
  const int fps = options.fps ? *options.fps : scene.frame_rate;
  if (!hostsdk::SetFrameRate(fps))
    return Status::Usage("frame rate " + std::to_string(fps) +
                         " must divide 4800 (e.g. 24, 25, 30, 60)");
  hostsdk::SetTimeDisplay(scene.time_display);
  std::string path;
  if (options.scene_path)
    path = *options.scene_path;
  else if (!scene.scene_path.empty())
    path = scene.scene_path;
  else if (!options.scene_file.empty())
    path = Canonical(options.scene_file);
  // The effect draws 8-bit Windows-1252 text.
  hostsdk::SetSceneFilePath(Utf8ToCp1252Lossy(path).c_str());
  std::string error;
  if (!PinRunClock(!options.clock.empty() ? options.clock : scene.clock, error))
    return Status::Usage(error);
  return Status::Ok();
}

Status ResolveFrames(const std::string& text, const std::string& fallback,
                     std::vector<int>& frames) {
  const std::string range = text.empty() ? fallback : text;
  if (std::string error; !ParseFrameRange(range, frames, error))
    return Status::Usage("frames: " + error);
  std::vector<int> sorted = frames;
  std::sort(sorted.begin(), sorted.end());
  const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
  if (twice != sorted.end())
    return Status::Usage("frames: \"" + range + "\" names frame " + std::to_string(*twice) +
                         " twice");
  return Status::Ok();
}

Status PlanFrames(const RunOptions& options, const SceneSettings& scene, RunPlan& plan) {
  plan.width = scene.width > 0 ? scene.width : kDefaultWidth;
  plan.height = scene.height > 0 ? scene.height : kDefaultHeight;
  if (std::string error;
      !options.size.empty() && !ParseFrameSize(options.size, plan.width, plan.height, error))
    return Status::Usage(error);
  plan.range = !options.frames.empty() ? options.frames
               : !scene.frames.empty() ? scene.frames
                                       : kDefaultFrames;
  return ResolveFrames(plan.range, plan.range, plan.frames);
}

Status ParseOutput(const std::string& text, const std::vector<int>& frames,
                   SequencePattern& out) {
  if (std::string error; !out.Parse(text, error)) return Status::Usage("output: " + error);
  if (!out.has_placeholder() && frames.size() > 1)
    return Status::Usage("output \"" + text + "\" names one file for " +
                         std::to_string(frames.size()) +
                         " frames; use a frame pattern such as frame.#.png");
  const std::string first = out.FileFor(frames.front());
  if (!CanWrite(first))
    return Status::Usage("output \"" + text + "\": no image writer for the extension \"" +
                         fs::path(first).extension().string() + "\"");
  return Status::Ok();
}

std::vector<int> WrittenFrames(const std::vector<int>& frames, std::optional<int> render_start,
                               bool prepend_slate) {
  std::vector<int> written = frames;
  if (prepend_slate) written.push_back((render_start ? *render_start : frames.front()) - 1);
  return written;
}

Status CheckOutputSparesScene(const SequencePattern& output, const std::vector<int>& written,
                              const std::string& scene_file) {
  if (scene_file.empty()) return Status::Ok();
  const std::string scene_canon = Canonical(scene_file);
  for (int f : written)
    if (Canonical(output.FileFor(f)) == scene_canon)
      return Status::Usage("output " + output.FileFor(f) + " would overwrite the scene file");
  return Status::Ok();
}

Status CheckOutputSparesInputs(const SequencePattern& output, const std::vector<int>& written,
                               const std::vector<std::string>& inputs,
                               const std::string& manifest) {
  std::set<std::string> names;
  std::set<std::pair<dev_t, ino_t>> nodes;
  for (const std::string& path : inputs) {
    names.insert(Canonical(path));
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) nodes.insert({st.st_dev, st.st_ino});
  }
  auto is_input = [&](const std::string& path) {
    struct stat st;
    return names.count(Canonical(path)) ||
           (::stat(path.c_str(), &st) == 0 && nodes.count({st.st_dev, st.st_ino}));
  };
  for (int f : written) {
    const std::string out = output.FileFor(f);
    if (is_input(out))
      return Status::Usage("output " + out +
                           " is one of this run's inputs; refusing to write over it" +
                           " (choose another output name)");
  }
  if (!manifest.empty() && manifest != "-" && is_input(manifest))
    return Status::Usage("manifest " + manifest +
                         " is one of this run's inputs; refusing to write over it");
  return Status::Ok();
}

Status MakeOutputFolder(const SequencePattern& output, int frame) {
  const fs::path parent = fs::path(output.FileFor(frame)).parent_path();
  if (parent.empty()) return Status::Ok();
  std::error_code ec;
  fs::create_directories(parent, ec);
  if (ec) return {StatusKind::kIo, parent.string() + ": " + ec.message()};
  return Status::Ok();
}

}  // namespace lumatrice
