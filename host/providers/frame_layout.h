// Where an effect puts its captions on a frame, as the host predicts it
// without running the effect: every line's text, reference point,
// alignment, the box of character cells it paints on the raster and the
// part of that box the merge takes into the frame. The manifest, preflight
// and the marker's "drew nothing" are built on this; each effect class's
// provider (effect_provider.h) fills it in.
#pragma once

#include <optional>
#include <string>
#include <vector>

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

// A formatted line: what is drawn and how long it would have been uncut.
struct CaptionText {
  std::string text;      // 8-bit, as drawn
  int full_length = 0;   // before any cut
  bool cut() const { return full_length > int(text.size()); }
};

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

}  // namespace lumatrice
