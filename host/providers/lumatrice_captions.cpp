// The Lumatrice effect's caption formats with its buffer sizes.
#include "lumatrice_captions.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace lumatrice {
namespace {

__attribute__((format(printf, 1, 2))) CaptionText Format(const char* format, ...) {
  char line[kCaptionCapacity];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  CaptionText out;
  if (n < 0) return out;
  out.full_length = n;
  out.text.assign(line, n < kCaptionCapacity ? n : kCaptionMaxLength);
  return out;
}

}  // namespace

std::string SnapshotText(const char* text) {
  if (!text) return {};
  return std::string(text, strnlen(text, kCaptionMaxLength));
}

CaptionText PaddedLine(const std::string& text) { return Format(" %s ", text.c_str()); }

CaptionText FrameTimeLine(const std::string& time_text) {
  return Format(" %7s ", time_text.c_str());
}

CaptionText DateLine(const SYSTEMTIME& now) {
  return Format(" %d/%d/%d ", now.wMonth, now.wDay, now.wYear);
}

CaptionText SlateTimeLine(const SYSTEMTIME& now) {
  char when[kCaptionCapacity];
  std::snprintf(when, sizeof when, "%d:%d:%d %d/%d/%d", now.wHour, now.wMinute, now.wSecond,
                now.wMonth, now.wDay, now.wYear);
  return PaddedLine(when);
}

const char* OrUntitled(const std::string& text) {
  return text.empty() ? "Untitled" : text.c_str();
}

}  // namespace lumatrice
