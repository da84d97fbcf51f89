// FFmpeg's own words for its error codes, shared by the movie library's
// reader, writer and joins so every message names the cause the same way.
#pragma once

#include <string>

extern "C" {
#include <libavutil/error.h>
}

namespace lumatrice {

inline std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// The buffer size of the movie library's own AVIOContexts.
constexpr int kAvIoBufferSize = 1 << 16;

}  // namespace lumatrice
