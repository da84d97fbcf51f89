// Stamping one image file, the same for every host: the frame read as its
// blocks where the layout allows, one rule for which channels take the
// captions and which files are refused, the effects applied, the marker
// added only where the effects are predicted to draw, and the frame spliced
// (or encoded whole) through a temporary file renamed over the target.
#pragma once

#include <functional>
#include <string>

#include "frame_buffer.h"
#include "frame_transform.h"
#include "image_io.h"
#include "marker.h"
#include "sequence.h"
#include "scene.h"
#include "status.h"

namespace lumatrice {

// A layered frame ("ViewLayer.Combined.R", "ViewLayer.Depth.Z", ...) takes
// the captions in its one combined pass, else in its unlayered R, G, B;
// any other layered frame is refused (kUnsupported).
Status ChooseStampLayer(FrameBuffer& frame, const std::string& path);

// Reads `path` to be stamped: ReadFrame, then ChooseStampLayer.
Status ReadStampFrame(const std::string& path, FrameBuffer& frame, const ReadOptions& options);

// The lock a stamp in place takes: "f_0001.exr" is frame 1 of "f_%04d.exr"
// (the last digits of its name), so the stamp and a run writing that
// sequence, or another stamp of the file, never write it at once. A name
// without digits is a single file. Placeholder characters elsewhere in the
// name (#, @, %) read as '_' for the lock alone.
void OutputLockFor(const std::string& path, SequencePattern& sequence, int& frame);

struct StampFileRequest {
  std::string path;
  // The format's extension ("exr") when the name has none; "" for the name's.
  std::string format;
  TimeValue t = 0;
  // The effects to apply, whose drawing is predicted and whose marker goes
  // on the frame.
  const Scene* scene = nullptr;
  const MarkerSource* marker = nullptr;
  bool slate_mark = false;  // the pre-render notification came just before
  bool full_reencode = false;
  // Runs the effects on the frame; may throw, leaving the file as it was.
  std::function<void(FrameBuffer&)> apply;
  // Around `apply` (the colour the effects draw in); null: none.
  FrameTransform* transform = nullptr;
};

// The status is ReadStampFrame's or WriteFrame's, or kUnreadable for a
// block found damaged on the way, or kStamped for a file that carries the
// marker already.
struct StampFileResult {
  Status status;
  bool drawn = false;  // false: nothing to draw, the file was left as it is
  WriteReport write;
};

// Stamps `request.path` in place, holding the output lock of its frame
// (OutputLockFor) meanwhile. On any fault the file is left as it was.
StampFileResult StampFileInPlace(const StampFileRequest& request, FrameBuffer& frame);

}  // namespace lumatrice
