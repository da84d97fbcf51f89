// A movie as a frame sink: frames arrive in render order, are converted to
// the codec's YUV with BT.709 coefficients and encoded (FFmpeg's own
// threads). The file is a hidden temporary beside the target, renamed into
// place only once its trailer is written; a writer destroyed before Finish
// leaves nothing under the target's name.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "movie_backend.h"
#include "stream_copy.h"
#include "temp_files.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace lumatrice {

// The "Lumatrice:*" fields of the marker a frame carries, as movie metadata.
std::vector<std::pair<std::string, std::string>> MarkerFields(const FrameBuffer& frame);

// The encoder of `codec` for frames of `width` x `height` in `pix_fmt` at
// `rate`, set up as every movie's (BT.709 tags, FFmpeg's threads); null
// with `error` (FFmpeg's reason) when it cannot be opened.
AVCodecContext* OpenVideoEncoder(const MovieCodec& codec, AVRational rate, int width, int height,
                                 AVPixelFormat pix_fmt, bool global_header, std::string& error);

class MovieWriter : public MovieOutput {
 public:
  MovieWriter(std::string target, MovieSettings settings);
  ~MovieWriter() override;
  MovieWriter(const MovieWriter&) = delete;
  MovieWriter& operator=(const MovieWriter&) = delete;

  Status Write(int frame, FrameBuffer& buffer) override;
  // Encodes what is left, writes the trailer and renames the movie into
  // place. False with `error`; the temporary is then removed.
  bool Finish(std::string& error) override;
  int frames() const { return frames_; }

 private:
  bool WriteFrame(int frame, FrameBuffer& buffer, std::string& error);
  bool Open(int frame, const FrameBuffer& first, std::string& error);
  bool OpenEncoder(const FrameBuffer& first, std::string& error);
  bool Convert(const FrameBuffer& buffer, std::string& error);
  bool Drain(bool flushing, std::string& error);
  bool IoFailed(std::string& error) const;
  // FFmpeg 5 hands the bytes over as non-const.
  static int WritePacket(void* opaque, std::uint8_t* data, int size);
  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence);

  std::string target_;
  MovieSettings settings_;
  TemporaryFile temp_;
  int io_errno_ = 0;
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* enc_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* sws_ = nullptr;
  StreamCopier copier_;
  std::vector<std::uint16_t> rgba_;  // one frame as 16-bit RGBA, padded
  int width_ = 0, height_ = 0;       // of the frames given
  int frames_ = 0;
  bool header_written_ = false, finished_ = false;
};

}  // namespace lumatrice
