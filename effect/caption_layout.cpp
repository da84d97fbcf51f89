// Caption and slate drawing. Each line is formatted into a 256-byte buffer
// (cut safely at 255 characters) and drawn with its exact length; the blank at
// each end widens the line's box by one cell on either side.
#include "caption_layout.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "param_ids.h"

namespace {

constexpr int kSlateLineStep = 20;   // label to value
constexpr int kSlateBlockStep = 60;  // block to block

const char* const kUntitled = "Untitled";

// Formats into line and returns the length drawn, never past 255.
__attribute__((format(printf, 2, 3))) int FormatLine(char* line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, kTextCapacity, format, args);
  va_end(args);
  if (n < 0) {
    line[0] = '\0';
    return 0;
  }
  return n < kTextCapacity ? n : kTextCapacity - 1;
}

void DrawLine(HDC dc, int x, int y, const char* line, int length) {
  TextOutA(dc, x, y, line, length);
}

void CopyText(char* dst, const char* src) {
  std::strncpy(dst, src ? src : "", kTextCapacity - 1);
  dst[kTextCapacity - 1] = '\0';
}

int ReadSwitch(IParamBlock2* pblock, short id, TimeValue t) {
  int v = 0;
  Interval valid;
  pblock->GetValue(id, t, v, valid, 0);
  return v;
}

void DrawSlateBlock(HDC dc, int x, int& y, const char* label, const char* value) {
  char line[kTextCapacity];
  int n = FormatLine(line, " %s ", label);
  DrawLine(dc, x, y, line, n);
  n = FormatLine(line, " %s ", value);
  DrawLine(dc, x, y + kSlateLineStep, line, n);
  y += kSlateBlockStep;
}

}  // namespace

void ReadSnapshot(IParamBlock2* pblock, TimeValue t, CaptionSnapshot& snap) {
  snap.pb_display_slate = ReadSwitch(pblock, pb_display_slate, t);
  snap.pb_display_slate_author = ReadSwitch(pblock, pb_display_slate_author, t);
  CopyText(snap.pb_slate_author, pblock->GetStr(pb_slate_author, t, 0));
  snap.pb_display_slate_comments = ReadSwitch(pblock, pb_display_slate_comments, t);
  CopyText(snap.pb_slate_comments, pblock->GetStr(pb_slate_comments, t, 0));
  snap.pb_display_slate_filename = ReadSwitch(pblock, pb_display_slate_filename, t);
  snap.pb_display_slate_time_date = ReadSwitch(pblock, pb_display_slate_time_date, t);
  snap.pb_display_header = ReadSwitch(pblock, pb_display_header, t);
  snap.pb_display_footer = ReadSwitch(pblock, pb_display_footer, t);
  snap.pb_display_comments = ReadSwitch(pblock, pb_display_comments, t);
  CopyText(snap.pb_comments, pblock->GetStr(pb_comments, t, 0));
  snap.pb_display_frames = ReadSwitch(pblock, pb_display_frames, t);
  snap.pb_display_filename = ReadSwitch(pblock, pb_display_filename, t);
  snap.pb_display_date = ReadSwitch(pblock, pb_display_date, t);
  snap.pb_use_multithreading = ReadSwitch(pblock, pb_use_multithreading, t);
}

void DrawSlate(HDC dc, const CaptionSnapshot& snap, int width, int height) {
  RECT all{0, 0, width, height};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(DKGRAY_BRUSH)));
  SetTextAlign(dc, TA_CENTER | TA_TOP);

  const int x = width / 2;
  int y = SlateTop(height);
  // A block left out takes no room: the next one shown is drawn at its y.
  if (snap.pb_display_slate_author && snap.pb_slate_author[0])
    DrawSlateBlock(dc, x, y, "Author", snap.pb_slate_author);
  if (snap.pb_display_slate_comments && snap.pb_slate_comments[0])
    DrawSlateBlock(dc, x, y, "Comments", snap.pb_slate_comments);
  if (snap.pb_display_slate_filename) {
    CStr path = GetCOREInterface()->GetCurFilePath();
    DrawSlateBlock(dc, x, y, "Source File", path.Length() ? path.data() : kUntitled);
  }
  if (snap.pb_display_slate_time_date) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    char when[kTextCapacity];
    // The block's " %s " adds the one blank at each end.
    std::snprintf(when, sizeof(when), "%d:%d:%d %d/%d/%d", st.wHour, st.wMinute, st.wSecond,
                  st.wMonth, st.wDay, st.wYear);
    DrawSlateBlock(dc, x, y, "Time & Date", when);
  }
}

void DrawCaptions(HDC dc, const CaptionSnapshot& snap, TimeValue t, int width, int height) {
  char line[kTextCapacity];
  if (snap.pb_display_header && snap.pb_display_comments && snap.pb_comments[0]) {
    SetTextAlign(dc, TA_CENTER | TA_TOP);
    DrawLine(dc, width / 2, 2, line, FormatLine(line, " %s ", snap.pb_comments));
  }
  if (snap.pb_display_footer && snap.pb_display_frames) {
    CStr time_text;
    TimeToString(t, time_text);
    SetTextAlign(dc, TA_LEFT | TA_BOTTOM);
    // Right-justified in at least seven columns; a longer time is not cut.
    DrawLine(dc, 2, height - 2, line, FormatLine(line, " %7s ", time_text.data()));
  }
  if (snap.pb_display_footer && snap.pb_display_filename) {
    CStr name = GetCOREInterface()->GetCurFileName();
    SetTextAlign(dc, TA_CENTER | TA_BOTTOM);
    DrawLine(dc, width / 2, height - 2, line,
             FormatLine(line, " %s ", name.Length() ? name.data() : kUntitled));
  }
  if (snap.pb_display_footer && snap.pb_display_date) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    SetTextAlign(dc, TA_RIGHT | TA_BOTTOM);
    DrawLine(dc, width - 2, height - 2, line,
             FormatLine(line, " %d/%d/%d ", st.wMonth, st.wDay, st.wYear));
  }
}
