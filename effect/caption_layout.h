// What one frame shows: the parameters read once at the frame's time, and the
// two layouts drawn on the raster, the every-frame captions and the slate.
#pragma once

#include "host_sdk.h"
#include "win_gdi.h"

constexpr int kTextCapacity = 256;  // 255 characters and the terminator

struct CaptionSnapshot {
  int pb_display_header;
  int pb_display_footer;
  int pb_display_comments;
  int pb_display_frames;
  int pb_display_filename;
  int pb_display_date;
  int pb_display_slate;
  int pb_display_slate_author;
  int pb_display_slate_comments;
  int pb_display_slate_filename;
  int pb_display_slate_time_date;
  int pb_use_multithreading;
  char pb_slate_author[kTextCapacity];
  char pb_comments[kTextCapacity];
  char pb_slate_comments[kTextCapacity];
};

// Reads every parameter at t in the fixed ID order; texts are copied, cut to
// 255 characters.
void ReadSnapshot(IParamBlock2* pblock, TimeValue t, CaptionSnapshot& snap);

void DrawSlate(HDC dc, const CaptionSnapshot& snap, int width, int height);
void DrawCaptions(HDC dc, const CaptionSnapshot& snap, TimeValue t, int width, int height);

// First row of the slate's first block: (H - 220) / 2 rounded down.
inline int SlateTop(int height) { return (height - 220) >> 1; }
