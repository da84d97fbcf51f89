// Joining segment movies packet for packet through libavformat.
#include "segment_join.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include "av_error.h"
#include "marker.h"
#include "movie_reader.h"
#include "movie_writer.h"
#include "temp_files.h"

namespace lumatrice {
namespace {

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
  JoinedMovie(std::string target, const MovieCodec* encode)
      : target_(std::move(target)), encode_(encode) {}
  ~JoinedMovie() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&enc_);
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
  bool OpenEncoder(const AVCodecParameters* in, std::string& error);
  bool Encode(const Segment& in, const std::string& name, std::string& error);
  bool EncodeFrame(const AVFrame* picture, const std::string& name, std::string& error);
  bool Drain(bool flushing, std::string& error);
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
  const MovieCodec* encode_;
  AVCodecContext* enc_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
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
  auto* buffer = static_cast<unsigned char*>(av_malloc(kAvIoBufferSize));
  fmt_->pb = buffer ? avio_alloc_context(buffer, kAvIoBufferSize, 1, this, nullptr, &Write, &Seek)
                    : nullptr;
  if (!fmt_->pb) return av_free(buffer), error = "out of memory", false;
  fmt_->flags |= AVFMT_FLAG_CUSTOM_IO;
  const AVStream* in = first.fmt->streams[first.video];
  rate_ = in->avg_frame_rate.num > 0 ? in->avg_frame_rate : in->r_frame_rate;
  AVStream* st = avformat_new_stream(fmt_, nullptr);
  if (!st) return error = "out of memory", false;
  if (encode_) {
    if (!OpenEncoder(in->codecpar, error)) return false;
    if (avcodec_parameters_from_context(st->codecpar, enc_) < 0)
      return error = "out of memory", false;
    st->time_base = enc_->time_base;
  } else {
    // The tag too: one container's, and ProRes keeps its profile there.
    if (avcodec_parameters_copy(st->codecpar, in->codecpar) < 0)
      return error = "out of memory", false;
    st->time_base = in->time_base;
  }
  st->avg_frame_rate = st->r_frame_rate = rate_;
  // What the chunk's writer put there: the timecode, the encoder, the marker.
  const std::string tc = TimecodeOf(first.fmt, first.video);
  if (!tc.empty()) av_dict_set(&fmt_->metadata, "timecode", tc.c_str(), 0);
  av_dict_set(&fmt_->metadata, "encoder", "lumatrice", 0);
  // Found in any case: Matroska keeps tag names in capitals.
  for (const char* key : {kMarkerStamped, kMarkerEffect, kMarkerVersion, kMarkerSettingsHash,
                          kMarkerSettings})
    if (const AVDictionaryEntry* e = av_dict_get(first.fmt->metadata, key, nullptr, 0))
      av_dict_set(&fmt_->metadata, key, e->value, 0);
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "use_metadata_tags", 0);
  const int r = avformat_write_header(fmt_, &options);
  av_dict_free(&options);
  if (r < 0) return error = Failed(r), false;
  return true;
}

// The encoder of the movie's codec for the segments' pictures, which come
// in the pixel format and padded size it takes.
bool JoinedMovie::OpenEncoder(const AVCodecParameters* in, std::string& error) {
  enc_ = OpenVideoEncoder(*encode_, rate_, in->width, in->height, AVPixelFormat(in->format),
                          fmt_->oformat->flags & AVFMT_GLOBALHEADER, error);
  if (!enc_)
    return error = "cannot open the " + encode_->codec + " encoder: " + error, false;
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (!frame_ || !packet_) return error = "out of memory", false;
  frame_->format = enc_->pix_fmt;
  frame_->width = enc_->width;
  frame_->height = enc_->height;
  frame_->color_primaries = enc_->color_primaries;
  frame_->color_trc = enc_->color_trc;
  frame_->colorspace = enc_->colorspace;
  frame_->color_range = enc_->color_range;
  if (av_frame_get_buffer(frame_, 0) < 0) return error = "out of memory", false;
  return true;
}

bool JoinedMovie::Drain(bool flushing, std::string& error) {
  for (;;) {
    const int r = avcodec_receive_packet(enc_, packet_);
    if (r == AVERROR(EAGAIN) || (flushing && r == AVERROR_EOF)) return true;
    if (r < 0) return error = "cannot encode: " + AvError(r), false;
    av_packet_rescale_ts(packet_, enc_->time_base, fmt_->streams[0]->time_base);
    packet_->stream_index = 0;
    if (int w = av_interleaved_write_frame(fmt_, packet_); w < 0) return error = Failed(w), false;
  }
}

// A decoded picture into the encoder as the next frame; only its samples,
// so that nothing of the lossless segment (its key frames) steers the coding.
bool JoinedMovie::EncodeFrame(const AVFrame* picture, const std::string& name,
                              std::string& error) {
  if (picture->width != frame_->width || picture->height != frame_->height ||
      picture->format != frame_->format)
    return error = "the segment of " + name + " holds pictures of another size or format", false;
  if (av_frame_make_writable(frame_) < 0 || av_frame_copy(frame_, picture) < 0)
    return error = "out of memory", false;
  frame_->pts = pictures_++;
  if (int r = avcodec_send_frame(enc_, frame_); r < 0)
    return error = "cannot encode: " + AvError(r), false;
  return Drain(false, error);
}

// The segment's pictures decoded and encoded after those before it.
bool JoinedMovie::Encode(const Segment& in, const std::string& name, std::string& error) {
  const AVCodecParameters* par = in.fmt->streams[in.video]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  AVCodecContext* dec = codec ? avcodec_alloc_context3(codec) : nullptr;
  AVPacket* packet = av_packet_alloc();
  AVFrame* picture = av_frame_alloc();
  int r = !dec || !packet || !picture ? AVERROR(ENOMEM) : avcodec_parameters_to_context(dec, par);
  if (r >= 0) r = avcodec_open2(dec, codec, nullptr);
  bool ok = r >= 0;
  if (!ok) error = "the segment of " + name + " cannot be decoded: " + AvError(r);
  for (bool eof = false; ok && !eof;) {
    r = av_read_frame(in.fmt, packet);
    eof = r == AVERROR_EOF;
    if (r < 0 && !eof) break;
    if (!eof && packet->stream_index != in.video) {
      av_packet_unref(packet);
      continue;
    }
    r = avcodec_send_packet(dec, eof ? nullptr : packet);
    av_packet_unref(packet);
    while (r >= 0 && (r = avcodec_receive_frame(dec, picture)) >= 0 && ok) {
      ok = EncodeFrame(picture, name, error);
      av_frame_unref(picture);
    }
    if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) break;
  }
  if (ok && r != AVERROR_EOF)
    ok = false, error = "the segment of " + name + " cannot be decoded: " + AvError(r);
  av_frame_free(&picture);
  av_packet_free(&packet);
  avcodec_free_context(&dec);
  return ok;
}

// The segment's pictures after those copied before it, in time.
bool JoinedMovie::Copy(const Segment& in, const std::string& name, std::string& error) {
  if (encode_) return Encode(in, name, error);
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
    if (packet->pts != AV_NOPTS_VALUE)
      packet->pts = av_rescale_q(packet->pts - start, from, to) + offset;
    if (packet->dts != AV_NOPTS_VALUE)
      packet->dts = av_rescale_q(packet->dts - start, from, to) + offset;
    packet->duration = av_rescale_q(packet->duration, from, to);
    packet->stream_index = 0;
    packet->pos = -1;
    ++pictures_;
    if (int w = av_interleaved_write_frame(fmt_, packet); w < 0) {
      av_packet_free(&packet);
      return error = Failed(w), false;
    }
  }
  av_packet_free(&packet);
  if (r == AVERROR_EOF) return true;
  return error = "the segment of " + name + " cannot be read: " + AvError(r), false;
}

bool JoinedMovie::Finish(std::string& error) {
  if (encode_) {
    if (int r = avcodec_send_frame(enc_, nullptr); r < 0)
      return error = "cannot encode: " + AvError(r), false;
    if (!Drain(true, error)) return false;
  }
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
                  const MovieCodec* encode, std::string& error) {
  QuietFfmpegLog();
  if (segments.empty()) return error = target + ": no segments to join", false;
  for (const MovieSegment& s : segments)
    if (!CheckSegment(s, error)) return false;
  JoinedMovie out(target, encode);
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
