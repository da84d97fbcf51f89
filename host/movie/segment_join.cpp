// Joining segment movies packet for packet through libavformat.
#include "segment_join.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include "movie_reader.h"
#include "temp_files.h"

namespace lumatrice {
namespace {

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

constexpr int kIoBufferSize = 1 << 16;

struct Segment {
  AVFormatContext* fmt = nullptr;
  int video = -1;
  ~Segment() { avformat_close_input(&fmt); }
};

// Opens the segment and finds its picture; `why` is FFmpeg's reason otherwise.
bool OpenSegment(const MovieSegment& s, Segment& in, std::string& why) {
  int r = avformat_open_input(&in.fmt, s.path.c_str(), nullptr, nullptr);
  if (r >= 0) r = avformat_find_stream_info(in.fmt, nullptr);
  if (r < 0) return why = AvError(r), false;
  in.video = av_find_best_stream(in.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (in.video < 0) return why = "no picture stream", false;
  return true;
}

// The segment is there, reads to its end and holds the pictures its chunk wrote.
bool CheckSegment(const MovieSegment& s, std::string& error) {
  Segment in;
  std::string why;
  long long pictures = 0;
  if (OpenSegment(s, in, why)) {
    AVPacket* packet = av_packet_alloc();
    int r = 0;
    while (packet && (r = av_read_frame(in.fmt, packet)) >= 0) {
      pictures += packet->stream_index == in.video;
      av_packet_unref(packet);
    }
    av_packet_free(&packet);
    if (r != AVERROR_EOF) why = "damaged: " + AvError(r);
    else if (pictures != s.pictures)
      why = "damaged: " + std::to_string(pictures) + " pictures, not " +
            std::to_string(s.pictures);
  }
  if (why.empty()) return true;
  error = "the segment of " + s.name + " (" + s.path + ") cannot be joined: " + why;
  return false;
}

std::string TimecodeOf(const AVFormatContext* fmt, int video) {
  if (const AVDictionaryEntry* e =
          av_dict_get(fmt->streams[video]->metadata, "timecode", nullptr, 0))
    return e->value;
  for (unsigned i = 0; i < fmt->nb_streams; ++i)
    if (const AVDictionaryEntry* e = av_dict_get(fmt->streams[i]->metadata, "timecode", nullptr, 0))
      return e->value;
  const AVDictionaryEntry* e = av_dict_get(fmt->metadata, "timecode", nullptr, 0);
  return e ? e->value : "";
}

// The joined movie: a hidden temporary beside the target until Finish.
class JoinedMovie {
 public:
  explicit JoinedMovie(std::string target) : target_(std::move(target)) {}
  ~JoinedMovie() {
    if (fmt_) {
      if (fmt_->pb) {
        av_freep(&fmt_->pb->buffer);
        avio_context_free(&fmt_->pb);
      }
      avformat_free_context(fmt_);
    }
    if (!finished_) temp_.Remove();
  }
  bool Open(const Segment& first, std::string& error);
  bool Copy(const Segment& in, const std::string& name, std::string& error);
  bool Finish(std::string& error);

 private:
  static int Write(void* opaque, std::uint8_t* data, int size) {
    auto* self = static_cast<JoinedMovie*>(opaque);
    for (int done = 0; done < size;) {
      const ssize_t n = ::write(self->temp_.fd(), data + done, std::size_t(size - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return AVERROR(self->errno_ = n < 0 ? errno : ENOSPC);
      done += int(n);
    }
    return size;
  }
  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<JoinedMovie*>(opaque);
    struct stat st {};
    if (whence == AVSEEK_SIZE)
      return ::fstat(self->temp_.fd(), &st) == 0 ? std::int64_t(st.st_size) : AVERROR(errno);
    const off_t at = ::lseek(self->temp_.fd(), off_t(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : std::int64_t(at);
  }
  std::string Failed(int r) const {
    return target_ + ": " + (errno_ ? std::strerror(errno_) : AvError(r));
  }

  std::string target_;
  TemporaryFile temp_;
  AVFormatContext* fmt_ = nullptr;
  AVRational rate_{0, 1};
  long long pictures_ = 0;  // copied so far
  int errno_ = 0;
  bool finished_ = false;
};

bool JoinedMovie::Open(const Segment& first, std::string& error) {
  if (Status created = temp_.Create(target_); !created) return error = created.message(), false;
  if (int r = avformat_alloc_output_context2(&fmt_, nullptr, nullptr, target_.c_str()); r < 0)
    return error = target_ + ": " + AvError(r), false;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  fmt_->pb = buffer ? avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &Write, &Seek)
                    : nullptr;
  if (!fmt_->pb) return av_free(buffer), error = "out of memory", false;
  fmt_->flags |= AVFMT_FLAG_CUSTOM_IO;
  const AVStream* in = first.fmt->streams[first.video];
  rate_ = in->avg_frame_rate.num > 0 ? in->avg_frame_rate : in->r_frame_rate;
  AVStream* st = avformat_new_stream(fmt_, nullptr);
  // The tag too: one container's, and ProRes keeps its profile there.
  if (!st || avcodec_parameters_copy(st->codecpar, in->codecpar) < 0)
    return error = "out of memory", false;
  st->time_base = in->time_base;
  st->avg_frame_rate = st->r_frame_rate = rate_;
  // What the chunk's writer put there: the timecode, the encoder, the marker.
  const std::string tc = TimecodeOf(first.fmt, first.video);
  if (!tc.empty()) av_dict_set(&fmt_->metadata, "timecode", tc.c_str(), 0);
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(first.fmt->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
    if (std::strcmp(e->key, "encoder") == 0 || std::strncmp(e->key, "Lumatrice:", 10) == 0)
      av_dict_set(&fmt_->metadata, e->key, e->value, 0);
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "use_metadata_tags", 0);
  const int r = avformat_write_header(fmt_, &options);
  av_dict_free(&options);
  if (r < 0) return error = Failed(r), false;
  return true;
}

// The segment's pictures after those copied before it, in time.
bool JoinedMovie::Copy(const Segment& in, const std::string& name, std::string& error) {
  const AVRational from = in.fmt->streams[in.video]->time_base;
  const AVRational to = fmt_->streams[0]->time_base;
  const std::int64_t offset = av_rescale_q(pictures_, av_inv_q(rate_), to);
  std::int64_t start = AV_NOPTS_VALUE;
  AVPacket* packet = av_packet_alloc();
  if (!packet) return error = "out of memory", false;
  int r = 0;
  while ((r = av_read_frame(in.fmt, packet)) >= 0) {
    if (packet->stream_index != in.video) {
      av_packet_unref(packet);
      continue;
    }
    if (start == AV_NOPTS_VALUE) start = packet->dts != AV_NOPTS_VALUE ? packet->dts : 0;
    if (packet->pts != AV_NOPTS_VALUE) packet->pts = av_rescale_q(packet->pts - start, from, to) + offset;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts = av_rescale_q(packet->dts - start, from, to) + offset;
    packet->duration = av_rescale_q(packet->duration, from, to);
    packet->stream_index = 0;
    packet->pos = -1;
    ++pictures_;
    if ((r = av_interleaved_write_frame(fmt_, packet)) < 0) break;
  }
  av_packet_free(&packet);
  if (r == AVERROR_EOF) return true;
  error = errno_ || pictures_ == 0 ? Failed(r) : "the segment of " + name + ": " + AvError(r);
  return false;
}

bool JoinedMovie::Finish(std::string& error) {
  if (int r = av_write_trailer(fmt_); r < 0) return error = Failed(r), false;
  avio_flush(fmt_->pb);
  if (errno_ || fmt_->pb->error < 0) return error = Failed(fmt_->pb->error), false;
  if (::fsync(temp_.fd()) != 0) return error = target_ + ": " + std::strerror(errno), false;
  if (Status moved = temp_.RenameTo(target_); !moved) return error = moved.message(), false;
  finished_ = true;
  return true;
}

}  // namespace

bool JoinSegments(const std::vector<MovieSegment>& segments, const std::string& target,
                  std::string& error) {
  QuietFfmpegLog();
  if (segments.empty()) return error = target + ": no segments to join", false;
  for (const MovieSegment& s : segments)
    if (!CheckSegment(s, error)) return false;
  JoinedMovie out(target);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    Segment in;
    std::string why;
    if (!OpenSegment(segments[i], in, why))
      return error = "the segment of " + segments[i].name + ": " + why, false;
    if (i == 0 && !out.Open(in, error)) return false;
    if (!out.Copy(in, segments[i].name, error)) return false;
  }
  return out.Finish(error);
}

}  // namespace lumatrice
