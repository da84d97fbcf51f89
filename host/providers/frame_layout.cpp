// Rectangles, alignment names and the host's frame context.
#include "frame_layout.h"

#include <algorithm>

#include "win_gdi.h"

namespace lumatrice {

Rect Rect::Intersect(const Rect& o) const {
  Rect r{std::max(left, o.left), std::max(top, o.top), std::min(right, o.right),
         std::min(bottom, o.bottom)};
  return r.empty() ? Rect{} : r;
}

const char* AlignName(Align a) {
  switch (a) {
    case Align::kCenterTop: return "center-top";
    case Align::kLeftBottom: return "left-bottom";
    case Align::kCenterBottom: return "center-bottom";
    case Align::kRightBottom: return "right-bottom";
  }
  return "";
}

FrameContext HostFrameContext(int width, int height, TimeValue t) {
  FrameContext c;
  c.width = std::clamp(width, 0, 0xFFFF);
  c.height = std::clamp(height, 0, 0xFFFF);
  CStr time_text;
  TimeToString(t, time_text);
  c.time_text = time_text.data();
  Interface* core = GetCOREInterface();
  c.file_name = core->GetCurFileName().data();
  c.file_path = core->GetCurFilePath().data();
  GetLocalTime(&c.now);
  return c;
}

}  // namespace lumatrice
