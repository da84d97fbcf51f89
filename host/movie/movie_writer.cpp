// Encoding frames into a movie through libavcodec and libavformat.
#include "movie_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "av_error.h"
#include "temp_muxer.h"
#include "marker.h"
#include "movie_reader.h"
#include "write_hooks.h"

namespace lumatrice {
std::vector<std::pair<std::string, std::string>> MarkerFields(const FrameBuffer& frame) {
  std::vector<std::pair<std::string, std::string>> fields;
  const std::optional<StampMarker> m = ReadMarker(frame);
  if (!m) return fields;
  fields = {{kMarkerStamped, "yes"},
            {kMarkerEffect, m->effect},
            {kMarkerVersion, m->version},
            {kMarkerSettingsHash, m->settings_hash},
            {kMarkerSettings, m->settings}};
  return fields;
}

MovieWriter::MovieWriter(std::string target, MovieSettings settings)
    : target_(std::move(target)), settings_(std::move(settings)) {
  QuietFfmpegLog();
}

MovieWriter::~MovieWriter() {
  sws_freeContext(sws_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&enc_);
  FreeMuxer(fmt_);
  if (!finished_) temp_.Remove();
}

bool MovieWriter::IoFailed(std::string& error) const {
  if (io_.io_errno == 0 && !(fmt_ && fmt_->pb && fmt_->pb->error < 0)) return false;
  error = target_ + ": " + std::strerror(io_.io_errno ? io_.io_errno : EIO);
  return true;
}

AVCodecContext* OpenVideoEncoder(const MovieCodec& c, AVRational rate, int width, int height,
                                 AVPixelFormat pix_fmt, bool global_header, std::string& error) {
  const AVCodec* codec = avcodec_find_encoder_by_name(c.encoder.c_str());
  if (!codec) return error = "this FFmpeg has no " + c.encoder + " encoder", nullptr;
  AVCodecContext* enc = avcodec_alloc_context3(codec);
  if (!enc) return error = "out of memory", nullptr;
  enc->pix_fmt = pix_fmt;
  enc->width = width;
  enc->height = height;
  enc->time_base = av_inv_q(rate);
  enc->framerate = rate;
  enc->sample_aspect_ratio = {1, 1};
  enc->color_primaries = AVCOL_PRI_BT709;
  enc->color_trc = AVCOL_TRC_BT709;
  enc->colorspace = AVCOL_SPC_BT709;
  enc->color_range = AVCOL_RANGE_MPEG;
  enc->thread_count = 0;
  enc->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (global_header) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* options = nullptr;
  if (!c.encoder_profile.empty()) av_dict_set(&options, "profile", c.encoder_profile.c_str(), 0);
  if (c.codec == "prores") av_dict_set(&options, "vendor", "apl0", 0);
  if (c.crf >= 0) av_dict_set_int(&options, "crf", c.crf, 0);
  const int r = avcodec_open2(enc, codec, &options);
  av_dict_free(&options);
  if (r < 0) {
    error = AvError(r);
    avcodec_free_context(&enc);
  }
  return enc;
}

bool MovieWriter::OpenEncoder(const FrameBuffer& first, std::string& error) {
  const MovieCodec& c = settings_.codec;
  const bool alpha = first.layout().alpha >= 0 && c.alpha_pix_fmt != AV_PIX_FMT_NONE;
  // 4:2:0 needs even sizes: the last column or row is repeated.
  enc_ = OpenVideoEncoder(c, settings_.rate, c.subsampled_420 ? (width_ + 1) & ~1 : width_,
                          c.subsampled_420 ? (height_ + 1) & ~1 : height_,
                          alpha ? c.alpha_pix_fmt : c.pix_fmt,
                          fmt_->oformat->flags & AVFMT_GLOBALHEADER, error);
  if (!enc_) {
    error = "cannot open the " + c.codec + " encoder for " + std::to_string(width_) + "x" +
            std::to_string(height_) + " frames: " + error;
    return false;
  }
  sws_ = sws_getContext(enc_->width, enc_->height, AV_PIX_FMT_RGBA64LE, enc_->width,
                        enc_->height, enc_->pix_fmt, SWS_BICUBIC | SWS_ACCURATE_RND |
                        SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr);
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (!sws_ || !frame_ || !packet_) return error = "out of memory", false;
  sws_setColorspaceDetails(sws_, sws_getCoefficients(SWS_CS_ITU709), 1,
                           sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
  frame_->format = enc_->pix_fmt;
  frame_->width = enc_->width;
  frame_->height = enc_->height;
  frame_->color_primaries = enc_->color_primaries;
  frame_->color_trc = enc_->color_trc;
  frame_->colorspace = enc_->colorspace;
  frame_->color_range = enc_->color_range;
  if (av_frame_get_buffer(frame_, 0) < 0) return error = "out of memory", false;
  if (c.subsampled_420 && (enc_->width != width_ || enc_->height != height_) && settings_.notice)
    settings_.notice("lumatrice: warning: " + std::to_string(width_) + "x" +
                     std::to_string(height_) + " is odd for 4:2:0 " + c.codec +
                     "; the movie is padded to " + std::to_string(enc_->width) + "x" +
                     std::to_string(enc_->height) + " by repeating the last column or row");
  return true;
}

bool MovieWriter::Open(int frame, const FrameBuffer& first, std::string& error) {
  width_ = first.width();
  height_ = first.height();
  const MovieCodec& c = settings_.codec;
  if (width_ < c.min_width || height_ < c.min_height) {
    error = c.codec + " needs frames of at least " + std::to_string(c.min_width) + "x" +
            std::to_string(c.min_height) + "; these are " + std::to_string(width_) + "x" +
            std::to_string(height_);
    return false;
  }
  if (!OpenTempMuxer(target_, temp_, io_, fmt_, error)) return false;
  if (!OpenEncoder(first, error)) return false;
  AVStream* st = avformat_new_stream(fmt_, nullptr);
  if (!st || avcodec_parameters_from_context(st->codecpar, enc_) < 0)
    return error = "out of memory", false;
  st->time_base = enc_->time_base;
  st->avg_frame_rate = st->r_frame_rate = settings_.rate;
  const std::string tc = !settings_.timecode.empty()
                             ? settings_.timecode
                             : TimecodeOfFrame(frame, RoundedRate(settings_.rate));
  av_dict_set(&fmt_->metadata, "timecode", tc.c_str(), 0);
  av_dict_set(&fmt_->metadata, "encoder", "lumatrice", 0);
  for (const auto& [key, value] : MarkerFields(first))
    av_dict_set(&fmt_->metadata, key.c_str(), value.c_str(), 0);
  copier_.Delay(settings_.copy_delay);
  if (!settings_.copy_from.empty() &&
      !copier_.Open(settings_.copy_from, fmt_, settings_.notice, error))
    return false;
  AVDictionary* options = nullptr;
  // Keys of our own (the marker) are kept only as metadata tags.
  av_dict_set(&options, "movflags", "use_metadata_tags", 0);
  const int r = avformat_write_header(fmt_, &options);
  av_dict_free(&options);
  if (r < 0) {
    if (!IoFailed(error)) error = target_ + ": cannot start the movie: " + AvError(r);
    return false;
  }
  header_written_ = true;
  return true;
}

bool MovieWriter::Convert(const FrameBuffer& buffer, std::string& error) {
  const int w = enc_->width, h = enc_->height;
  rgba_.resize(std::size_t(w) * h * 4);
  FrameStorage storage(const_cast<FrameBuffer*>(&buffer));
  for (int y = 0; y < h; ++y) {
    std::uint16_t* row = rgba_.data() + std::size_t(y) * w * 4;
    if (y >= height_) {
      std::copy_n(row - std::size_t(w) * 4, std::size_t(w) * 4, row);
      continue;
    }
    storage.GetPixels(0, y, width_, reinterpret_cast<BMM_Color_64*>(row));
    for (int x = width_; x < w; ++x) std::copy_n(row + (x - 1) * 4, 4, row + x * 4);
  }
  if (const std::string damaged = buffer.BlockError(); !damaged.empty()) {
    error = "input frame is damaged (" + damaged + ")";
    return false;
  }
  if (av_frame_make_writable(frame_) < 0) return error = "out of memory", false;
  const std::uint8_t* src[1] = {reinterpret_cast<const std::uint8_t*>(rgba_.data())};
  const int stride[1] = {w * 8};
  sws_scale(sws_, src, stride, 0, h, frame_->data, frame_->linesize);
  return true;
}

bool MovieWriter::Drain(bool flushing, std::string& error) {
  for (;;) {
    const int r = avcodec_receive_packet(enc_, packet_);
    if (r == AVERROR(EAGAIN) || (flushing && r == AVERROR_EOF)) return true;
    if (r < 0) return error = "cannot encode: " + AvError(r), false;
    AVStream* st = fmt_->streams[0];
    av_packet_rescale_ts(packet_, enc_->time_base, st->time_base);
    packet_->stream_index = 0;
    const double until = double(packet_->dts) * av_q2d(st->time_base);
    if (!copier_.CopyUntil(until, error)) return false;
    if (int w = av_interleaved_write_frame(fmt_, packet_); w < 0) {
      if (!IoFailed(error)) error = target_ + ": " + AvError(w);
      return false;
    }
    if (IoFailed(error)) return false;
  }
}

Status MovieWriter::Write(int frame, FrameBuffer& buffer) {
  std::string error;
  if (!WriteFrame(frame, buffer, error)) return {StatusKind::kIo, error};
  return Status::Ok();
}

bool MovieWriter::WriteFrame(int frame, FrameBuffer& buffer, std::string& error) {
  if (!header_written_ && !Open(frame, buffer, error)) return false;
  if (buffer.width() != width_ || buffer.height() != height_) {
    error = "the frame is " + std::to_string(buffer.width()) + "x" +
            std::to_string(buffer.height()) + ", the movie's frames are " +
            std::to_string(width_) + "x" + std::to_string(height_);
    return false;
  }
  if (!Convert(buffer, error)) return false;
  frame_->pts = frames_;
  if (int r = avcodec_send_frame(enc_, frame_); r < 0)
    return error = "cannot encode: " + AvError(r), false;
  ++frames_;
  return Drain(false, error);
}

bool MovieWriter::Finish(std::string& error) {
  if (!header_written_) {
    error = target_ + ": no frame was written";
    return false;
  }
  if (int r = avcodec_send_frame(enc_, nullptr); r < 0)
    return error = "cannot encode: " + AvError(r), false;
  if (!Drain(true, error) || !copier_.CopyRest(error)) return false;
  if (int r = av_write_trailer(fmt_); r < 0 || IoFailed(error)) {
    if (error.empty()) error = target_ + ": cannot finish the movie: " + AvError(r);
    return false;
  }
  avio_flush(fmt_->pb);
  if (IoFailed(error)) return false;
  if (::fsync(temp_.fd()) != 0) return error = target_ + ": " + std::strerror(errno), false;
  if (write_hooks::before_rename) write_hooks::before_rename();
  // A cancel that came while the trailer went out still leaves no movie.
  if (settings_.cancelled && settings_.cancelled()) return error.clear(), false;
  if (Status moved = temp_.RenameTo(target_); !moved) return error = moved.message(), false;
  finished_ = true;
  return true;
}

}  // namespace lumatrice
