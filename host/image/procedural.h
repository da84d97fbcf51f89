// The host's stand-in for a 3D renderer: a small ray-traced scene (three
// shaded spheres circling over a chequered floor, with shadows and a moving
// light) that changes visibly from frame to frame. Deterministic: the same
// size and time always give the same pixels.
#pragma once

#include "frame_buffer.h"

namespace lumatrice {

// Renders the scene at `seconds` into `frame` as 8-bit RGB of width x height,
// reusing its memory. False when the size is unusable.
bool RenderProceduralFrame(FrameBuffer& frame, int width, int height, double seconds);

}  // namespace lumatrice
