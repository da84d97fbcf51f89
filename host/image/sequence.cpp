// Sequence patterns and frame ranges on top of OpenImageIO's parser.
#include "sequence.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <regex>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/strutil.h>

namespace lumatrice {
namespace Filesystem = OIIO::Filesystem;

bool SequencePattern::Parse(const std::string& text, std::string& error) {
  text_ = text;
  printf_.clear();
  embedded_range_.clear();
  has_placeholder_ = false;
  if (text.empty()) {
    error = "empty file name";
    return false;
  }
  std::string normalized, range;
  if (Filesystem::parse_pattern(text.c_str(), 0, normalized, range)) {
    printf_ = normalized;
    embedded_range_ = range;
    has_placeholder_ = true;
    std::vector<int> probe;
    if (!range.empty() && !ParseFrameRange(range, probe, error)) {
      error = "frame range in \"" + text + "\": " + error;
      return false;
    }
  } else if (text.find('%') != std::string::npos) {
    error = "\"" + text + "\" is not a valid frame pattern";
    return false;
  }
  return true;
}

std::string SequencePattern::FileFor(int frame) const {
  if (!has_placeholder_) return text_;
  std::vector<std::string> names;
  Filesystem::enumerate_file_sequence(printf_, {frame}, names);
  return names.empty() ? std::string() : names[0];
}

std::vector<int> SequencePattern::ScanExisting() const {
  std::vector<int> frames;
  if (!has_placeholder_) {
    if (Filesystem::exists(text_)) frames.push_back(1);
    return frames;
  }
  std::vector<std::string> files;
  std::string pattern = printf_;
  // The scanner looks in the pattern's folder; a bare name means this one.
  if (pattern.find('/') == std::string::npos) pattern = "./" + pattern;
  Filesystem::scan_for_matching_filenames(pattern, frames, files);
  std::vector<int> out;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    // The scanner accepts any digit count; keep the names the pattern makes.
    std::string want = FileFor(frames[i]);
    if (want.find('/') == std::string::npos) want = "./" + want;
    if (files[i] == want || files[i] == FileFor(frames[i])) out.push_back(frames[i]);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

bool ParseFrameRange(const std::string& text, std::vector<int>& frames, std::string& error) {
  frames.clear();
  // Counted before enumerating, so "1-2000000000" is refused, not allocated.
  static const std::regex part(R"(^(-?\d{1,10})(?:-(-?\d{1,10})(?:([xy])(-?\d{1,10}))?)?$)");
  long long total = 0;
  bool any = false;
  for (const std::string& piece : OIIO::Strutil::splits(text, ",")) {
    std::smatch m;
    if (!std::regex_match(piece, m, part)) {
      error = "\"" + text + "\" is not a frame range (examples: 7, 1-100, 1-100x2)";
      return false;
    }
    const long long a = std::atoll(m[1].str().c_str());
    const long long b = m[2].matched ? std::atoll(m[2].str().c_str()) : a;
    long long step = m[4].matched ? std::llabs(std::atoll(m[4].str().c_str())) : 1;
    if (a < INT32_MIN || a > INT32_MAX || b < INT32_MIN || b > INT32_MAX) {
      error = "frame numbers in \"" + text + "\" are out of range";
      return false;
    }
    if (step == 0) step = 1;
    const long long span = std::llabs(b - a) + 1;
    total += m[3].matched && m[3].str() == "y" ? span : (span + step - 1) / step;
    any = true;
  }
  if (!any) {
    error = "empty frame range";
    return false;
  }
  if (total >= kMaxFrames) {
    error = "\"" + text + "\" names too many frames";
    return false;
  }
  if (!Filesystem::enumerate_sequence(text, frames) || frames.empty()) {
    error = "\"" + text + "\" is not a frame range (examples: 7, 1-100, 1-100x2)";
    frames.clear();
    return false;
  }
  return true;
}

}  // namespace lumatrice
