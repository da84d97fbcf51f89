// What a render or stamp run does besides applying the effects: the stamp
// marker in every written frame, the caption manifest (from the real run or
// a dry run), the slate policy and the guard against stamping a frame twice.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host_session.h"
#include "manifest.h"
#include "marker.h"
#include "pipeline.h"
#include "sequence.h"

namespace lumatrice {

// The render's first frame, which gets the pre-render notification.
int RenderStart(const std::optional<int>& given, const std::vector<int>& frames);

// With `prepend`, the frame the slate is written as, or nullopt when the run
// does not hold the render's first frame. kUsage when that number is one of
// the run's own frames.
Status PlanSlate(bool prepend, const std::vector<int>& frames, int render_start,
                 std::optional<int>& slate_frame);

// kUsage when the manifest file would replace the scene file or one of the
// frames the run writes (`slate_frame` included).
Status CheckManifestPath(const std::string& manifest, const std::string& scene_file,
                         const SequencePattern& output, const std::vector<int>& frames,
                         const std::optional<int>& slate_frame);

// The module file version of each live effect of `scene`, in order.
std::vector<std::string> EffectVersions(const HostSession& host, const Scene& scene);

// kStamped naming the first frames that already carry the marker, or
// kUnreadable for a header that cannot be read (unless `pass_unreadable`:
// the run will skip those frames itself).
Status CheckNotStamped(const SequencePattern& input, const std::vector<int>& frames,
                       bool pass_unreadable);

// Whether the apply call puts anything on the frame: a visible line or a
// slate of a Lumatrice effect, or any other effect (whose drawing is unknown).
bool ApplyDraws(const Scene& scene, TimeValue t, const FrameContext& context, bool slate_mark);

// Marker, manifest and clock around every apply call of a real run. A frame
// on which the effects draw nothing gets no marker (and keeps any it has).
class JobHooks : public PipelineHooks {
 public:
  // `manifest` may be null. The clock is pinned for the whole run, so the
  // manifest's dates and times are exactly those drawn.
  JobHooks(const Scene& scene, MarkerSource marker, bool description_line, Manifest* manifest,
           const SequencePattern& output);

  void BeforeApply(int frame, TimeValue t, const FrameBuffer& buffer, bool slate_mark) override;
  void AfterApply(int frame, TimeValue t, FrameBuffer& buffer) override;

  // The first failure of a hook ("" when none).
  const std::string& error() const { return error_; }

 private:
  const Scene& scene_;
  MarkerSource marker_;
  bool description_line_;
  Manifest* manifest_;
  SequencePattern output_;
  bool draws_ = false;
  std::string error_;
};

// The frame size a dry run assumes for a frame; false with `error`.
using FrameSizer = std::function<bool(int frame, int& width, int& height, std::string& error)>;

// Plans the run's apply calls and records them in `manifest` without reading
// pixels or writing images. False with `error`.
bool DryRun(const std::vector<int>& frames, int render_start, bool prepend,
            const SequencePattern& output, const FrameSizer& sizer, Manifest& manifest,
            std::string& error);

// The size in the header of `path`, without reading its pixels.
bool HeaderSize(const std::string& path, int& width, int& height, std::string& error);

}  // namespace lumatrice
