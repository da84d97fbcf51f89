// Frame-sequence names as image tools write them: "shot.#.exr" (four digits),
// "shot.@@.png" (one digit per @), "shot.%04d.tif", optionally with a range
// inside ("shot.1-50#.exr"); frame ranges "7", "1-100", "1-100x2", "10-1",
// comma lists. Parsing is OpenImageIO's own.
#pragma once

#include <string>
#include <vector>

namespace lumatrice {

// Ranges this long or longer are refused rather than enumerated.
constexpr long long kMaxFrames = 1000000;

class SequencePattern {
 public:
  // False with `error` for an empty or malformed pattern. A name without a
  // frame placeholder is a single file: FileFor gives it for every frame.
  bool Parse(const std::string& text, std::string& error);

  const std::string& text() const { return text_; }
  bool has_placeholder() const { return has_placeholder_; }
  // The range written inside the pattern ("1-50" of "shot.1-50#.exr"), or "".
  const std::string& embedded_range() const { return embedded_range_; }
  std::string FileFor(int frame) const;
  // The pattern with its frame number as one "#" whatever the spelling
  // ("out/f.#.exr" for "out/f.%04d.exr"); the text itself for one file.
  std::string Generic() const;
  // Frames whose names are in the folder, ascending. Every entry named like
  // a frame counts, whatever it is (a folder, a broken link): reading it is
  // what tells whether it is a good frame.
  std::vector<int> ScanExisting() const;

 private:
  std::string text_;
  std::string printf_;
  // The name around the number, and how the number is padded.
  std::string prefix_, suffix_;
  int width_ = 0;
  bool zero_pad_ = false;
  std::string embedded_range_;
  bool has_placeholder_ = false;
};

// "1-100x2" and friends into frame numbers in the order written. False with
// `error` for an empty or malformed text or one of kMaxFrames frames or more.
bool ParseFrameRange(const std::string& text, std::vector<int>& frames, std::string& error);

}  // namespace lumatrice
