// The streams of an input movie that pass through a stamp untouched: audio,
// subtitles and data, packet for packet (no decode), interleaved with the
// newly encoded picture by time.
#pragma once

#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace lumatrice {

class StreamCopier {
 public:
  StreamCopier() = default;
  ~StreamCopier();
  StreamCopier(const StreamCopier&) = delete;
  StreamCopier& operator=(const StreamCopier&) = delete;

  // Opens `input` and adds to `out` one stream for each of its streams
  // other than the picture that `out`'s container can hold; `notice` hears
  // of those it cannot. The timecode track is not copied: the writer makes
  // it anew from the input's timecode. False with `error`.
  bool Open(const std::string& input, AVFormatContext* out,
            const std::function<void(const std::string&)>& notice, std::string& error);
  // The copied streams start this much later than in the input (a slate
  // put before the input's first picture).
  void Delay(double seconds) { delay_ = seconds; }
  // Writes the copied packets that start before `seconds` into the movie.
  bool CopyUntil(double seconds, std::string& error);
  bool CopyRest(std::string& error) { return CopyUntil(1e300, error); }

 private:
  AVFormatContext* in_ = nullptr;
  AVFormatContext* out_ = nullptr;
  std::vector<int> map_;  // input stream -> output stream, -1 when not copied
  AVPacket* pending_ = nullptr;
  bool have_pending_ = false, eof_ = false;
  std::string input_;
  double delay_ = 0;
};

}  // namespace lumatrice
