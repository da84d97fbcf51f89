// A per-frame colour step around the effects: the pipeline and the one-file
// stamp call Before on a frame just before its effects run and After once
// they ran, so what the effects draw lands in the colour space the
// transform chose.
#pragma once

#include "frame_buffer.h"
#include "status.h"

namespace lumatrice {

class FrameTransform {
 public:
  virtual ~FrameTransform() = default;
  // Not ok: the frame cannot be converted (a damaged block); it is dropped.
  virtual Status Before(FrameBuffer& frame) = 0;
  // Also after an apply cut short; the frame is then as it will be written.
  virtual void After(FrameBuffer& frame) = 0;
};

// `apply` run on `frame` inside `transform` (null: none), After also when
// `apply` throws. Not ok: Before's status, and `apply` did not run.
template <typename Apply>
Status ApplyWithin(FrameTransform* transform, FrameBuffer& frame, Apply&& apply) {
  if (transform)
    if (Status s = transform->Before(frame); !s.ok()) return s;
  struct Finish {
    FrameTransform* transform;
    FrameBuffer& frame;
    ~Finish() {
      if (transform) transform->After(frame);
    }
  } finish{transform, frame};
  apply(frame);
  return Status::Ok();
}

}  // namespace lumatrice
