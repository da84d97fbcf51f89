// A movie as a frame source: every picture decoded in order (FFmpeg's
// frame threads) into 16-bit RGB(A), numbered from the run's first frame;
// and what a stamp needs to know before it starts (frame count, rate,
// timecode, the stamp marker in the movie's metadata).
#pragma once

#include <optional>
#include <string>

#include "movie_backend.h"

extern "C" {
#include <libavutil/rational.h>
}

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace lumatrice {

// Reads the movie's streams without decoding them. False with `error` for
// a file FFmpeg cannot read, one without a picture, or one whose pictures
// are not evenly spaced in time (a variable frame rate).
bool ProbeMovie(const std::string& path, MovieInfo& info, std::string& error);

// The marker in the movie's metadata (nullopt when it has none).
bool ReadMovieMarker(const std::string& path, std::optional<StampMarker>& marker,
                     std::string& error);

// FFmpeg's own log lines off (errors reach the user as the run's own
// line); once per process.
void QuietFfmpegLog();

class MovieSource : public FrameSource {
 public:
  // The movie's first picture is frame `first`.
  MovieSource(std::string path, int first);
  ~MovieSource() override;
  MovieSource(const MovieSource&) = delete;
  MovieSource& operator=(const MovieSource&) = delete;

  bool Open(std::string& error);
  // Frames come in ascending order; those between are decoded and dropped.
  Status Fill(int frame, FrameBuffer& buffer) override;

 private:
  bool Next(int frame, std::string& error);
  bool Convert(FrameBuffer& buffer, std::string& error);

  std::string path_;
  int first_;
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* sws_ = nullptr;
  int stream_ = -1;
  long long decoded_ = 0;  // pictures received so far
  bool eof_ = false;
};

// The movie's timecode: the picture stream's, else any stream's, else the
// container's; empty when it has none.
std::string TimecodeOf(const AVFormatContext* fmt, int video);

}  // namespace lumatrice
