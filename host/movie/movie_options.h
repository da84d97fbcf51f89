// What a movie output is made of: the codec and its profile, the rate the
// container records, the timecode of the first frame; and the checks that
// refuse what a codec or container cannot do, before anything is read.
// FFmpeg's headers only (its types); nothing here links FFmpeg.
#pragma once

#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

namespace lumatrice {

// Options of a run whose output (or input) is a movie.
struct MovieArgs {
  std::string codec;           // prores (default), dnxhr, h264
  std::string profile;         // per codec; "" for its default
  std::optional<int> crf;      // h264 only
  std::string start_timecode;  // HH:MM:SS:FF; "" for the first frame's number
  std::string rate;            // exact container rate, "24000/1001"; "" for the host's
  std::string copy_from;       // an input movie whose other streams pass through
};

// Whether a movie with this name keeps the marker (MXF keeps no free tags).
bool MovieKeepsMarker(const std::string& path);

// True for the names of movie files: .mov .mp4 .mkv .mxf (any case).
bool IsMoviePath(const std::string& path);

// One codec and profile, resolved.
struct MovieCodec {
  std::string codec;          // prores, dnxhr, h264
  std::string profile;        // its name as given (or the default)
  std::string encoder;        // FFmpeg's encoder name
  std::string encoder_profile;  // the value of the encoder's "profile" option
  AVPixelFormat pix_fmt = AV_PIX_FMT_NONE;
  AVPixelFormat alpha_pix_fmt = AV_PIX_FMT_NONE;  // when it keeps alpha
  bool subsampled_420 = false;  // needs even sizes
  int min_width = 0, min_height = 0;
  bool intra_only = true;
  int crf = -1;
};

// The codec `args` asks for, checked against the container of `path`. False
// with `error` naming the bad codec, profile or container (and what would do).
bool ResolveMovieCodec(const std::string& path, const MovieArgs& args, MovieCodec& codec,
                       std::string& error);

// What a farm chunk writes its frames of a movie in: the codec itself when
// every frame is coded alone, else FFV1 (lossless, each frame alone) in the
// pixel format and padded size the codec's encoder takes, so that the
// report's encode of the segments gets the pictures a one-machine run
// gives the encoder. Such segments are .mkv.
MovieCodec SegmentCodec(const MovieCodec& codec);

// "24", "25", "24000/1001", "29.97" into a rate. False for anything else.
bool ParseFrameRateText(const std::string& text, AVRational& rate);

// The whole rate the effect's time keeps for `rate` (23.976 -> 24).
int RoundedRate(AVRational rate);

// "HH:MM:SS:FF" of `frame` counted at the whole rate `fps` (non-drop).
std::string TimecodeOfFrame(long long frame, int fps);

// The frame count of HH:MM:SS:FF at `fps`; -1 when malformed.
long long TimecodeFrames(const std::string& text, int fps);

// False with `error` unless `text` is HH:MM:SS:FF (or ;FF) within `fps`.
bool CheckTimecode(const std::string& text, int fps, std::string& error);

}  // namespace lumatrice
