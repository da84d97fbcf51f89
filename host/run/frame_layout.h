// Where the Lumatrice effect puts its captions on a frame, worked out by the
// host from the parameter values, the frame's size and time, the scene path
// and the clock: every line's text, reference point, alignment, the box of
// character cells it paints on the raster and the part of that box the merge
// takes into the frame. The manifest and preflight are built on this.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "caption_text.h"
#include "host_sdk.h"
#include "scene.h"

namespace lumatrice {

// Columns left <= x < right, rows top <= y < bottom.
struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  bool empty() const { return right <= left || bottom <= top; }
  Rect Intersect(const Rect& o) const;
  bool operator==(const Rect&) const = default;
};

enum class Align { kCenterTop, kLeftBottom, kCenterBottom, kRightBottom };
const char* AlignName(Align a);  // "center-top", "left-bottom", ...

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

// Whether `effect` is a Lumatrice effect whose parameters can be read.
bool IsLumatrice(Effect* effect);
// False when the effect has no parameter of the expected name or type.
bool ReadCaptionValues(Effect* effect, TimeValue t, CaptionValues& values);

// What the host hands the effect for one apply besides the parameters.
struct FrameContext {
  int width = 0, height = 0;  // as the effect's bitmap reports them (16-bit)
  std::string time_text;      // TimeToString of the frame's time
  std::string file_name;      // GetCurFileName; "" for an unsaved scene
  std::string file_path;      // GetCurFilePath
  SYSTEMTIME now{};           // GetLocalTime
};
// The context the host gives right now for a frame of this size at t.
FrameContext HostFrameContext(int width, int height, TimeValue t);

struct CaptionLine {
  std::string item;     // "header", "frame_time", "slate_author_label", ...
  CaptionText line;     // as drawn (8-bit)
  int uncut_length = 0; // had neither the text copy nor the line buffer cut it
  Align align = Align::kCenterTop;
  int x = 0, y = 0;     // reference point
  Rect box;             // character cells painted on the raster
  Rect visible;         // the part of the box the merge takes into the frame
};

struct EffectLayout {
  bool slate = false;
  Rect fill;  // slate only: the dark grey background
  std::vector<CaptionLine> lines;  // in drawing order: a later line paints over an earlier one
};

// The layout one apply call draws: the slate when the slate mark is set and
// the slate is switched on, otherwise the every-frame captions.
EffectLayout LayOut(const CaptionValues& values, const FrameContext& context, bool slate_mark);

// Rows the every-frame merge converts on a frame of height h.
bool CaptionRowMerged(int y, int height);

}  // namespace lumatrice
