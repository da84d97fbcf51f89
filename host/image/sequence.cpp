// Sequence patterns and frame ranges on top of OpenImageIO's parser.
#include "sequence.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <utility>

#include <cstdio>

namespace lumatrice {
namespace fs = std::filesystem;

namespace {

// A frame range then the number's place: "1-10#", "####", "@@", "%04d".
// Each '#' stands for four digits, each '@' for one.
const std::regex& PatternRe() {
  static const std::regex re(
      "((?:[0-9]+(?:-[0-9]+(?:(?:x|y)-?[0-9]+)?)?)(?:,[0-9]+(?:-[0-9]+(?:(?:x|y)-?[0-9]+)?)?)*)?"
      "((?:#|@)+|%([0-9]*)d)");
  return re;
}

}  // namespace

bool SequencePattern::Parse(const std::string& text, std::string& error) {
  text_ = text;
  printf_.clear();
  embedded_range_.clear();
  has_placeholder_ = false;
  if (text.empty()) {
    error = "empty file name";
    return false;
  }
  std::smatch m;
  if (std::regex_search(text, m, PatternRe())) {
    const std::string place = m[2].str();
    if (place[0] == '%') {
      zero_pad_ = m[3].length() > 0 && m[3].str()[0] == '0';
      width_ = m[3].length() > 0 ? std::atoi(m[3].str().c_str()) : 0;
    } else {
      zero_pad_ = true;
      width_ = 0;
      for (char c : place) width_ += c == '#' ? 4 : 1;
    }
    prefix_ = m.prefix().str();
    suffix_ = m.suffix().str();
    printf_ = prefix_ + (place[0] == '%' ? place : "%0" + std::to_string(width_) + "d") + suffix_;
    const std::string range = m[1].str();
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
  char number[32];
  std::snprintf(number, sizeof number, zero_pad_ ? "%0*d" : "%*d", width_, frame);
  return prefix_ + number + suffix_;
}

namespace {

// Where the frame number sits in a file name of the normalized pattern.
bool SplitNumber(const std::string& name, std::string& prefix, std::string& suffix) {
  const std::size_t pct = name.find('%');
  if (pct == std::string::npos) return false;
  const std::size_t d = name.find('d', pct);
  if (d == std::string::npos || name.find('%', d) != std::string::npos) return false;
  prefix = name.substr(0, pct);
  suffix = name.substr(d + 1);
  return true;
}

}  // namespace

std::string SequencePattern::Generic() const {
  if (!has_placeholder_) return text_;
  const fs::path p(printf_);
  std::string prefix, suffix;
  if (!SplitNumber(p.filename().string(), prefix, suffix)) return printf_;
  return (p.parent_path() / (prefix + "#" + suffix)).string();
}

std::vector<int> SequencePattern::ScanExisting() const {
  std::vector<int> out;
  std::error_code ec;
  if (!has_placeholder_) {
    if (fs::exists(fs::symlink_status(text_, ec))) out.push_back(1);
    return out;
  }
  // Listed from the folder itself: a scanner that stats each name stops or
  // skips at the first entry it cannot follow (a loop, a broken link).
  const fs::path p(printf_);
  std::string prefix, suffix;
  if (p.parent_path().string().find('%') != std::string::npos ||
      !SplitNumber(p.filename().string(), prefix, suffix))
    return out;
  const fs::path folder = p.parent_path().empty() ? fs::path(".") : p.parent_path();
  fs::directory_iterator it(folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= prefix.size() + suffix.size() || name.rfind(prefix, 0) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    const std::string digits =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    const std::size_t lead = digits[0] == '-' ? 1 : 0;
    if (digits.size() <= lead || digits.size() > lead + 10 ||
        digits.find_first_not_of("0123456789", lead) != std::string::npos)
      continue;
    const long long n = std::atoll(digits.c_str());
    if (n < INT32_MIN || n > INT32_MAX) continue;
    // Any digit count parses; keep the names the pattern itself makes.
    if (fs::path(FileFor(int(n))).filename().string() == name) out.push_back(int(n));
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
  std::vector<int> listed;
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    const std::string piece = text.substr(start, comma == std::string::npos ? comma : comma - start);
    std::smatch m;
    if (!std::regex_match(piece, m, part)) {
      error = "\"" + text + "\" is not a frame range (examples: 7, 1-100, 1-100x2)";
      return false;
    }
    const long long a = std::atoll(m[1].str().c_str());
    const long long b = m[2].matched ? std::atoll(m[2].str().c_str()) : a;
    const long long step = m[4].matched ? std::atoll(m[4].str().c_str()) : 1;
    if (a < INT32_MIN || a > INT32_MAX || b < INT32_MIN || b > INT32_MAX) {
      error = "frame numbers in \"" + text + "\" are out of range";
      return false;
    }
    if (step <= 0) {
      error = "\"" + text + "\": the step after " + m[3].str() + " is " + std::to_string(step) +
              "; it must be 1 or more (1-100x2 takes every second frame, 100-1 counts down)";
      return false;
    }
    const long long span = std::llabs(b - a) + 1;
    const bool fill = m[3].matched && m[3].str() == "y";  // the frames x would skip
    total += fill ? span : (span + step - 1) / step;
    any = true;
    if (total < kMaxFrames)
      for (long long i = 0, dir = b >= a ? 1 : -1; i < span; ++i)
        if ((i % step == 0) != fill) listed.push_back(int(a + dir * i));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (!any) {
    error = "empty frame range";
    return false;
  }
  if (total >= kMaxFrames) {
    error = "\"" + text + "\" names too many frames (" + std::to_string(total) + "; at most " +
            std::to_string(kMaxFrames - 1) + " in one run, so the list stays in memory)";
    return false;
  }
  if (listed.empty()) {
    error = "\"" + text + "\" is not a frame range (examples: 7, 1-100, 1-100x2)";
    return false;
  }
  frames = std::move(listed);
  return true;
}

}  // namespace lumatrice
