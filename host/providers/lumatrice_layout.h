// The Lumatrice effect's captions as the host works them out: its fifteen
// parameters read from its block, and the layout one apply draws from them,
// the frame's size and time, the scene path and the clock.
#pragma once

#include "frame_layout.h"
#include "lumatrice_captions.h"

namespace lumatrice {

// The fifteen parameters at one time, texts as the effect copies them.
struct CaptionValues {
  bool display_header = false, display_footer = false, display_comments = false;
  bool display_frames = false, display_filename = false, display_date = false;
  bool display_slate = false, display_slate_author = false, display_slate_comments = false;
  bool display_slate_filename = false, display_slate_time_date = false;
  bool use_multithreading = false;
  std::string comments, slate_author, slate_comments;  // 8-bit, at most 255 characters
  // Before the 255-character copy, for preflight.
  int comments_length = 0, slate_author_length = 0, slate_comments_length = 0;
};

// False when the effect has no block, or no parameter of the expected name
// or type.
bool ReadCaptionValues(Effect* effect, TimeValue t, CaptionValues& values);

// The layout one apply call draws: the slate when the slate mark is set and
// the slate is switched on, otherwise the every-frame captions.
EffectLayout LayOut(const CaptionValues& values, const FrameContext& context, bool slate_mark);

// Rows the every-frame merge converts on a frame of height h.
bool CaptionRowMerged(int y, int height);

}  // namespace lumatrice
