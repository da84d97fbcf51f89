// Decoding movies through libavformat and libavcodec.
#include "movie_reader.h"


#include <algorithm>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "av_error.h"

namespace lumatrice {
namespace {

bool OpenInput(const std::string& path, AVFormatContext*& fmt, std::string& error) {
  if (int r = avformat_open_input(&fmt, path.c_str(), nullptr, nullptr); r < 0)
    return error = path + ": " + AvError(r), false;
  if (int r = avformat_find_stream_info(fmt, nullptr); r < 0)
    return error = path + ": " + AvError(r), false;
  return true;
}

std::string TimecodeOf(const AVFormatContext* fmt, int video) {
  if (const AVDictionaryEntry* e = av_dict_get(fmt->streams[video]->metadata, "timecode", nullptr, 0))
    return e->value;
  for (unsigned i = 0; i < fmt->nb_streams; ++i)
    if (const AVDictionaryEntry* e = av_dict_get(fmt->streams[i]->metadata, "timecode", nullptr, 0))
      return e->value;
  const AVDictionaryEntry* e = av_dict_get(fmt->metadata, "timecode", nullptr, 0);
  return e ? e->value : "";
}

std::optional<StampMarker> MarkerOf(const AVFormatContext* fmt) {
  OIIO::ImageSpec spec;
  for (const char* key : {kMarkerStamped, kMarkerEffect, kMarkerVersion, kMarkerSettingsHash,
                          kMarkerSettings})
    if (const AVDictionaryEntry* e = av_dict_get(fmt->metadata, key, nullptr, 0))
      spec.attribute(key, e->value);
  return ReadMarker(spec);
}

// Pictures must be evenly spaced: frame numbers follow the order of the
// pictures, and a variable rate would make them drift from the movie's time.
bool CheckEvenlySpaced(const std::string& path, std::vector<std::int64_t>& pts, AVRational tb,
                       std::string& error) {
  std::sort(pts.begin(), pts.end());
  std::int64_t least = INT64_MAX, most = 0;
  for (std::size_t i = 1; i < pts.size(); ++i) {
    least = std::min(least, pts[i] - pts[i - 1]);
    most = std::max(most, pts[i] - pts[i - 1]);
  }
  if (pts.size() > 2 && most > least + std::max<std::int64_t>(1, least / 100)) {
    error = path + " has a variable frame rate (pictures " +
            std::to_string(double(least) * av_q2d(tb)) + " s to " +
            std::to_string(double(most) * av_q2d(tb)) +
            " s apart); its frames cannot be numbered by time: convert it to a constant rate "
            "first (ffmpeg -fps_mode cfr)";
    return false;
  }
  return true;
}

}  // namespace

void QuietFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

bool ProbeMovie(const std::string& path, MovieInfo& info, std::string& error) {
  QuietFfmpegLog();
  AVFormatContext* fmt = nullptr;
  const bool opened = OpenInput(path, fmt, error);
  const int video = opened ? av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0) : -1;
  if (opened && video < 0) error = path + ": no picture stream";
  bool ok = opened && video >= 0;
  std::vector<std::int64_t> pts;
  if (ok) {
    const AVStream* st = fmt->streams[video];
    info.width = st->codecpar->width;
    info.height = st->codecpar->height;
    info.codec = avcodec_get_name(st->codecpar->codec_id);
    info.rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
    info.timecode = TimecodeOf(fmt, video);
    info.marker = MarkerOf(fmt);
    AVPacket* packet = av_packet_alloc();
    int r = 0;
    while (packet && (r = av_read_frame(fmt, packet)) >= 0) {
      if (packet->stream_index == video) {
        ++info.frames;
        if (packet->pts != AV_NOPTS_VALUE) pts.push_back(packet->pts);
      }
      av_packet_unref(packet);
    }
    av_packet_free(&packet);
    if (info.frames == 0) error = path + ": no pictures in the movie", ok = false;
    if (ok && info.rate.num <= 0) error = path + ": no frame rate", ok = false;
    ok = ok && CheckEvenlySpaced(path, pts, st->time_base, error);
  }
  avformat_close_input(&fmt);
  return ok;
}

bool ReadMovieMarker(const std::string& path, std::optional<StampMarker>& marker,
                     std::string& error) {
  QuietFfmpegLog();
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) {
    error = path + ": not a movie FFmpeg can read";
    return false;
  }
  marker = MarkerOf(fmt);
  avformat_close_input(&fmt);
  return true;
}

MovieSource::MovieSource(std::string path, int first) : path_(std::move(path)), first_(first) {
  QuietFfmpegLog();
}

MovieSource::~MovieSource() {
  sws_freeContext(sws_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&dec_);
  avformat_close_input(&fmt_);
}

bool MovieSource::Open(std::string& error) {
  if (!OpenInput(path_, fmt_, error)) return false;
  const AVCodec* codec = nullptr;
  stream_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (stream_ < 0 || !codec) return error = path_ + ": no picture stream it can decode", false;
  dec_ = avcodec_alloc_context3(codec);
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (!dec_ || !frame_ || !packet_) return error = "out of memory", false;
  avcodec_parameters_to_context(dec_, fmt_->streams[stream_]->codecpar);
  dec_->thread_count = 0;
  dec_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  // A damaged picture is an error, not a concealed guess.
  dec_->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM;
  if (int r = avcodec_open2(dec_, codec, nullptr); r < 0)
    return error = path_ + ": cannot decode " + codec->name + ": " + AvError(r), false;
  return true;
}

bool MovieSource::Next(int frame, std::string& error) {
  auto damaged = [&](const std::string& why) {
    error = "input frame " + std::to_string(frame) + " (picture " + std::to_string(decoded_ + 1) +
            " of " + path_ + ") cannot be decoded: " + why;
    return false;
  };
  for (;;) {
    const int r = avcodec_receive_frame(dec_, frame_);
    if (r == 0) {
      ++decoded_;
      if (frame_->decode_error_flags || (frame_->flags & AV_FRAME_FLAG_CORRUPT))
        return damaged("the picture is damaged");
      return true;
    }
    if (r == AVERROR_EOF)
      return damaged("the movie ends after " + std::to_string(decoded_) + " pictures");
    if (r != AVERROR(EAGAIN)) return damaged(AvError(r));
    if (eof_) return damaged("the movie ends early");
    const int read = av_read_frame(fmt_, packet_);
    if (read == AVERROR_EOF) {
      eof_ = true;
      avcodec_send_packet(dec_, nullptr);
      continue;
    }
    if (read < 0) return damaged(AvError(read));
    if (packet_->stream_index == stream_) {
      const int sent = avcodec_send_packet(dec_, packet_);
      av_packet_unref(packet_);
      if (sent < 0 && sent != AVERROR(EAGAIN)) return damaged(AvError(sent));
    } else {
      av_packet_unref(packet_);
    }
  }
}

bool MovieSource::Convert(FrameBuffer& buffer, std::string& error) {
  const auto format = AVPixelFormat(frame_->format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  const bool alpha = desc && (desc->flags & AV_PIX_FMT_FLAG_ALPHA);
  OIIO::ImageSpec spec(frame_->width, frame_->height, alpha ? 4 : 3, OIIO::TypeDesc::UINT16);
  if (alpha) spec.attribute("oiio:UnassociatedAlpha", 1);
  if (!buffer.Reset(spec)) return error = "cannot hold a picture of " + path_, false;
  sws_ = sws_getCachedContext(sws_, frame_->width, frame_->height, format, frame_->width,
                              frame_->height, alpha ? AV_PIX_FMT_RGBA64LE : AV_PIX_FMT_RGB48LE,
                              SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                              nullptr, nullptr);
  if (!sws_) return error = "cannot convert the pictures of " + path_, false;
  const int matrix = frame_->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
  const bool full = frame_->color_range == AVCOL_RANGE_JPEG;
  sws_setColorspaceDetails(sws_, sws_getCoefficients(matrix), full, sws_getCoefficients(matrix),
                           1, 0, 1 << 16, 1 << 16);
  std::uint8_t* dst[1] = {reinterpret_cast<std::uint8_t*>(buffer.data())};
  const int stride[1] = {int(buffer.row_bytes())};
  sws_scale(sws_, frame_->data, frame_->linesize, 0, frame_->height, dst, stride);
  return true;
}

Status MovieSource::Fill(int frame, FrameBuffer& buffer) {
  const long long want = (long long)frame - first_;
  if (want < decoded_)
    return {StatusKind::kUsage, "frame " + std::to_string(frame) +
                                    " comes before frames already read from " + path_ +
                                    "; a movie is read in order"};
  std::string error;
  while (decoded_ <= want)
    if (!Next(frame, error)) return {StatusKind::kUnreadable, error};
  if (!Convert(buffer, error)) return {StatusKind::kUnreadable, error};
  return Status::Ok();
}

}  // namespace lumatrice
