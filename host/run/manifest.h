// The caption manifest: for every apply call of a run, the exact lines each
// Lumatrice effect draws, with reference points, alignments, boxes and the
// parts of the boxes that reach the frame. Written as JSON by `--manifest`,
// by a real run or by `--dry-run`, which plans the same apply calls without
// touching an image.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "frame_layout.h"
#include "scene.h"

namespace lumatrice {

// One apply call of a run, in the order the pipeline makes them.
struct PlannedApply {
  int frame = 0;         // the number the frame is written as
  int source_frame = 0;  // the frame whose pixels it starts from
  TimeValue t = 0;       // the time the effects are called with
  bool slate_mark = false;  // the pre-render notification came just before
  bool slate_copy = false;  // a prepended slate: a copy of source_frame
};

// The pre-render notification goes before `render_start` the first time it
// comes up; with `prepend` the slate is applied to a copy of that frame,
// written as the frame before it, and the frame itself follows with captions.
std::vector<PlannedApply> PlanApplies(const std::vector<int>& frames, int render_start,
                                      bool prepend, int ticks_per_frame);

// The frame a prepended slate is written as, when this run has one.
std::optional<int> PrependedSlateFrame(const std::vector<int>& frames, int render_start,
                                       bool prepend);

class Manifest {
 public:
  // `scene` must outlive the manifest; its live effects are those applied.
  explicit Manifest(const Scene& scene);

  // Records one apply call: reads every Lumatrice effect's parameters at
  // apply.t and lays out what it draws in `context`.
  void Add(const PlannedApply& apply, const std::string& file, const FrameContext& context);

  // The run's own facts, so a reader need not parse its options again: the
  // output pattern, the frames asked for and the render start.
  void SetRun(const std::string& output, const std::vector<int>& frames, int render_start);
  // One more of the run's options, under "run".
  void SetRunOption(const std::string& key, Json value) { run_options_[key] = std::move(value); }

  Json ToJson(bool dry_run) const;
  // "-" writes to standard output; a file is replaced whole or not at all.
  bool Write(const std::string& path, bool dry_run, std::string& error) const;
  std::size_t size() const { return frames_.size(); }

 private:
  struct EffectEntryLayout {
    int index = 0;  // 1-based among the scene's render effects
    std::string class_name;
    std::string class_id;
    bool known = false;  // a Lumatrice effect: its layout below is computed
    EffectLayout layout;
  };
  struct Frame {
    PlannedApply apply;
    std::string file;
    FrameContext context;
    std::vector<EffectEntryLayout> effects;
  };
  const Scene& scene_;
  std::vector<Frame> frames_;
  std::string output_;
  std::vector<int> run_frames_;
  int render_start_ = 0;
  Json run_options_ = Json::object();
};

Json RectToJson(const Rect& r);  // null when empty

}  // namespace lumatrice
