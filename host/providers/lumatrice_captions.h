// The caption lines as the Lumatrice effect formats them: the same formats,
// the same 255-character texts and the same 255-character line buffer (at
// most kCaptionMaxLength characters drawn). The host predicts what a frame
// shows with these, never with the module's own code.
#pragma once

#include <string>

#include "frame_layout.h"
#include "win_types.h"

namespace lumatrice {

// 255 characters and the terminator, for texts and formatted lines alike.
constexpr int kCaptionCapacity = 256;
constexpr int kCaptionMaxLength = kCaptionCapacity - 1;

// A parameter text as the effect copies it: cut to 255 characters.
std::string SnapshotText(const char* text);

// " %s ": header, file name, every slate line.
CaptionText PaddedLine(const std::string& text);
// " %7s ": the frame time, right-justified in at least seven columns.
CaptionText FrameTimeLine(const std::string& time_text);
// " %d/%d/%d ": month, day, year.
CaptionText DateLine(const SYSTEMTIME& now);
// The slate's time-and-date value: "%d:%d:%d %d/%d/%d" inside " %s ".
CaptionText SlateTimeLine(const SYSTEMTIME& now);

// What the footer's file name and the slate's source file show for a scene
// path given in `text`, "Untitled" when empty.
const char* OrUntitled(const std::string& text);

}  // namespace lumatrice
