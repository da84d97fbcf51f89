// Stream copy of the streams around the picture.
#include "stream_copy.h"

#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

#include "av_error.h"

namespace lumatrice {

StreamCopier::~StreamCopier() {
  av_packet_free(&pending_);
  avformat_close_input(&in_);
}

bool StreamCopier::Open(const std::string& input, AVFormatContext* out,
                        const std::function<void(const std::string&)>& notice,
                        std::string& error) {
  input_ = input;
  out_ = out;
  if (int r = avformat_open_input(&in_, input.c_str(), nullptr, nullptr); r < 0) {
    error = input + ": " + AvError(r);
    return false;
  }
  if (int r = avformat_find_stream_info(in_, nullptr); r < 0) {
    error = input + ": " + AvError(r);
    return false;
  }
  const int video = av_find_best_stream(in_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  map_.assign(in_->nb_streams, -1);
  for (unsigned i = 0; i < in_->nb_streams; ++i) {
    const AVCodecParameters* par = in_->streams[i]->codecpar;
    if (int(i) == video || par->codec_tag == MKTAG('t', 'm', 'c', 'd')) continue;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) continue;  // other pictures: not ours to pass
    if (avformat_query_codec(out->oformat, par->codec_id, FF_COMPLIANCE_NORMAL) != 1) {
      notice("lumatrice: warning: stream " + std::to_string(i) + " of " + input + " (" +
             avcodec_get_name(par->codec_id) + ") cannot go into a ." +
             out->oformat->name + " movie; it is left out");
      continue;
    }
    AVStream* st = avformat_new_stream(out, nullptr);
    if (!st || avcodec_parameters_copy(st->codecpar, par) < 0) {
      error = "out of memory";
      return false;
    }
    st->codecpar->codec_tag = 0;
    st->time_base = in_->streams[i]->time_base;
    st->disposition = in_->streams[i]->disposition;
    av_dict_copy(&st->metadata, in_->streams[i]->metadata, 0);
    map_[i] = st->index;
  }
  pending_ = av_packet_alloc();
  if (!pending_) {
    error = "out of memory";
    return false;
  }
  return true;
}

bool StreamCopier::CopyUntil(double seconds, std::string& error) {
  if (!in_) return true;
  const std::int64_t start = in_->start_time == AV_NOPTS_VALUE ? 0 : in_->start_time;
  while (!eof_) {
    if (!have_pending_) {
      const int r = av_read_frame(in_, pending_);
      if (r == AVERROR_EOF) {
        eof_ = true;
        break;
      }
      if (r < 0) {
        error = input_ + ": cannot read the streams copied alongside the picture: " + AvError(r);
        return false;
      }
      if (map_[pending_->stream_index] < 0) {
        av_packet_unref(pending_);
        continue;
      }
      have_pending_ = true;
    }
    const AVRational tb = in_->streams[pending_->stream_index]->time_base;
    const std::int64_t ts = pending_->dts != AV_NOPTS_VALUE ? pending_->dts : pending_->pts;
    const std::int64_t offset = av_rescale_q(start, AV_TIME_BASE_Q, tb) -
                                std::int64_t(std::llround(delay_ / av_q2d(tb)));
    if (ts != AV_NOPTS_VALUE && double(ts - offset) * av_q2d(tb) >= seconds) return true;
    AVStream* st = out_->streams[map_[pending_->stream_index]];
    if (pending_->pts != AV_NOPTS_VALUE) pending_->pts -= offset;
    if (pending_->dts != AV_NOPTS_VALUE) pending_->dts -= offset;
    av_packet_rescale_ts(pending_, tb, st->time_base);
    pending_->stream_index = st->index;
    pending_->pos = -1;
    have_pending_ = false;
    if (int r = av_interleaved_write_frame(out_, pending_); r < 0) {
      error = "cannot write the copied streams: " + AvError(r);
      return false;
    }
  }
  return true;
}

}  // namespace lumatrice
