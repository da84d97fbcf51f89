// A span of one row of a frame as packed float RGBA and back, whatever the
// held sample type: integers as 0..1, grey as R = G = B (written back as its
// Rec.709 luma), no alpha as 1.
#pragma once

#include "frame_buffer.h"

namespace lumatrice {

// Row y's pixels [x, x + count) into rgba (4 floats a pixel); decodes the
// blocks of a lazy frame that hold them.
void LoadRgba(const FrameBuffer& frame, int x, int y, int count, float* rgba);

// Writes pixel x + i of row y from rgba[4 i ..] for each i with take[i]
// (every pixel when take is null). Integer samples are rounded and clamped.
// A lazy frame's blocks are marked changed only with `mark`.
void StoreRgba(FrameBuffer& frame, int x, int y, int count, const float* rgba,
               const bool* take, bool mark);

}  // namespace lumatrice
