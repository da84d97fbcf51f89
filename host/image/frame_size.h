// The one frame-size limit, wherever a size comes from (an option, a scene
// file, the editor, the embedding library, an input file's header): each
// side 1 to 65535, since effects see sides as 16-bit values, and at most
// 2^28 pixels (16384x16384), since a run holds a frame in memory several
// times over. Header-only, so the scene reader shares it without linking
// the image library.
#pragma once

#include <cctype>
#include <cstdio>
#include <string>

namespace lumatrice {

inline constexpr long long kMaxFrameSide = 65535;
inline constexpr long long kMaxFramePixels = 1LL << 28;

// False with `error` ("20000x20000 is over the frame-size limit: ...",
// "0x0 has no pixels: ...").
inline bool CheckFrameSize(long long width, long long height, std::string& error) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  if (width < 1 || height < 1) {
    error = size + " has no pixels: each side must be 1 to 65535 pixels";
    return false;
  }
  if (width > kMaxFrameSide || height > kMaxFrameSide) {
    error = size + " is over the frame-size limit: each side must be 1 to 65535 pixels";
    return false;
  }
  if (width * height > kMaxFramePixels) {
    error = size +
            " is over the frame-size limit: at most 268435456 pixels (16384x16384), as a run "
            "holds a frame in memory several times over";
    return false;
  }
  return true;
}

// "1280x720" -> sides within the limit; false with `error` saying whether
// the text is malformed or the size over the limit.
inline bool ParseFrameSize(const std::string& text, int& width, int& height,
                           std::string& error) {
  long long w = 0, h = 0;
  char tail = 0;
  // Digits only: sscanf would take "-640" as a huge unsigned number.
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) ||
      !std::isdigit(static_cast<unsigned char>(text.back())) ||
      text.find_first_not_of("0123456789x") != std::string::npos ||
      std::sscanf(text.c_str(), "%11lldx%11lld%c", &w, &h, &tail) != 2) {
    error = "size \"" + text + "\" is not WIDTHxHEIGHT such as 1280x720";
    return false;
  }
  if (!CheckFrameSize(w, h, error)) {
    error = "size " + error;
    return false;
  }
  width = int(w);
  height = int(h);
  return true;
}

inline bool ParseFrameSize(const std::string& text, int& width, int& height) {
  std::string error;
  return ParseFrameSize(text, width, height, error);
}

}  // namespace lumatrice
