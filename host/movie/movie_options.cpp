// Codec and profile tables, the containers each codec goes into, rates and
// timecodes.
#include "movie_options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>

namespace lumatrice {
namespace {

struct ProfileRow {
  const char* codec;
  const char* profile;
  const char* encoder;
  const char* encoder_profile;
  AVPixelFormat pix_fmt;
  AVPixelFormat alpha_pix_fmt;
};

// The first row of each codec is its default profile.
const ProfileRow kProfiles[] = {
    {"prores", "hq", "prores_ks", "3", AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_NONE},
    {"prores", "proxy", "prores_ks", "0", AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_NONE},
    {"prores", "lt", "prores_ks", "1", AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_NONE},
    {"prores", "standard", "prores_ks", "2", AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_NONE},
    {"prores", "4444", "prores_ks", "4", AV_PIX_FMT_YUV444P10LE, AV_PIX_FMT_YUVA444P10LE},
    {"prores", "4444xq", "prores_ks", "5", AV_PIX_FMT_YUV444P10LE, AV_PIX_FMT_YUVA444P10LE},
    {"dnxhr", "hq", "dnxhd", "dnxhr_hq", AV_PIX_FMT_YUV422P, AV_PIX_FMT_NONE},
    {"dnxhr", "lb", "dnxhd", "dnxhr_lb", AV_PIX_FMT_YUV422P, AV_PIX_FMT_NONE},
    {"dnxhr", "sq", "dnxhd", "dnxhr_sq", AV_PIX_FMT_YUV422P, AV_PIX_FMT_NONE},
    {"dnxhr", "hqx", "dnxhd", "dnxhr_hqx", AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_NONE},
    {"dnxhr", "444", "dnxhd", "dnxhr_444", AV_PIX_FMT_YUV444P10LE, AV_PIX_FMT_NONE},
    {"h264", "high", "libx264", "high", AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE},
    {"h264", "high444", "libx264", "high444", AV_PIX_FMT_YUV444P, AV_PIX_FMT_NONE},
};

// The containers FFmpeg's muxers fill correctly for each codec (ProRes in
// MXF and the intra codecs in MP4 are refused by the muxers themselves).
const std::vector<std::string>& Containers(const std::string& codec) {
  static const std::vector<std::string> prores{".mov", ".mkv"}, dnxhr{".mov", ".mkv", ".mxf"},
      h264{".mov", ".mp4", ".mkv"};
  return codec == "prores" ? prores : codec == "dnxhr" ? dnxhr : h264;
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& i : items) text += (text.empty() ? "" : ", ") + i;
  return text;
}

}  // namespace

bool MovieKeepsMarker(const std::string& path) {
  return Lower(std::filesystem::path(path).extension().string()) != ".mxf";
}

bool IsMoviePath(const std::string& path) {
  const std::string ext = Lower(std::filesystem::path(path).extension().string());
  return ext == ".mov" || ext == ".mp4" || ext == ".mkv" || ext == ".mxf";
}

bool ResolveMovieCodec(const std::string& path, const MovieArgs& args, MovieCodec& out,
                       std::string& error) {
  const std::string codec = args.codec.empty() ? "prores" : Lower(args.codec);
  std::vector<std::string> profiles;
  const ProfileRow* row = nullptr;
  for (const ProfileRow& r : kProfiles) {
    if (codec != r.codec) continue;
    profiles.push_back(r.profile);
    if (!row && (args.profile.empty() || Lower(args.profile) == r.profile)) row = &r;
  }
  if (profiles.empty()) {
    error = "unknown codec \"" + args.codec + "\"; movies are written as prores, dnxhr or h264";
    return false;
  }
  if (!row) {
    error = "unknown " + codec + " profile \"" + args.profile + "\"; " + codec + " has " +
            Joined(profiles);
    return false;
  }
  if (args.crf && codec != "h264") {
    error = "--crf sets H.264's quality; " + codec + " has fixed-rate profiles (--profile)";
    return false;
  }
  if (args.crf && (*args.crf < 0 || *args.crf > 51)) {
    error = "--crf " + std::to_string(*args.crf) + " is outside 0..51";
    return false;
  }
  const std::string ext = Lower(std::filesystem::path(path).extension().string());
  const std::vector<std::string>& holds = Containers(codec);
  if (std::find(holds.begin(), holds.end(), ext) == holds.end()) {
    error = "a " + ext + " movie cannot hold " + codec + "; " + codec + " goes into " +
            Joined(holds);
    return false;
  }
  out.codec = codec;
  out.profile = row->profile;
  out.encoder = row->encoder;
  out.encoder_profile = row->encoder_profile;
  out.pix_fmt = row->pix_fmt;
  out.alpha_pix_fmt = row->alpha_pix_fmt;
  out.subsampled_420 = row->pix_fmt == AV_PIX_FMT_YUV420P;
  out.intra_only = codec != "h264";
  // The DNxHR encoder's own floor.
  out.min_width = codec == "dnxhr" ? 256 : 1;
  out.min_height = codec == "dnxhr" ? 120 : 1;
  out.crf = codec == "h264" ? args.crf.value_or(18) : -1;
  return true;
}

MovieCodec SegmentCodec(const MovieCodec& codec) {
  if (codec.intra_only) return codec;
  MovieCodec lossless = codec;
  lossless.codec = lossless.encoder = "ffv1";
  lossless.profile = lossless.encoder_profile = "";
  lossless.alpha_pix_fmt = AV_PIX_FMT_NONE;
  lossless.intra_only = true;
  lossless.crf = -1;
  return lossless;
}

bool ParseFrameRateText(const std::string& text, AVRational& rate) {
  long long num = 0, den = 1;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%lld/%lld%c", &num, &den, &tail) == 2 ||
      std::sscanf(text.c_str(), "%lld%c", &num, &tail) == 1) {
    if (text.find('/') == std::string::npos) den = 1;
  } else {
    double v = 0;
    if (std::sscanf(text.c_str(), "%lf%c", &v, &tail) != 1 || !(v > 0) || v > 1000) return false;
    // 23.976 and friends are the NTSC rates.
    const double ntsc = v * 1.001;
    if (std::fabs(ntsc - std::round(ntsc)) < 0.01 && std::fabs(v - std::round(v)) > 0.001) {
      num = std::llround(ntsc) * 1000;
      den = 1001;
    } else {
      num = std::llround(v * 1000);
      den = 1000;
    }
  }
  if (num <= 0 || den <= 0 || num > 1000000 || den > 1000000) return false;
  const long long g = std::gcd(num, den);
  rate = AVRational{int(num / g), int(den / g)};
  return true;
}

int RoundedRate(AVRational rate) {
  return int(std::lround(double(rate.num) / double(rate.den)));
}

std::string TimecodeOfFrame(long long frame, int fps) {
  if (fps <= 0) fps = 24;
  const long long per_day = 24LL * 3600 * fps;
  frame = ((frame % per_day) + per_day) % per_day;
  char text[48];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld:%02lld", frame / (3600LL * fps),
                frame / (60LL * fps) % 60, frame / fps % 60, frame % fps);
  return text;
}

long long TimecodeFrames(const std::string& text, int fps) {
  int h = 0, m = 0, s = 0, f = 0;
  char sep = 0, tail = 0;
  if (std::sscanf(text.c_str(), "%2d:%2d:%2d%c%2d%c", &h, &m, &s, &sep, &f, &tail) != 5 ||
      (sep != ':' && sep != ';') || h > 23 || m > 59 || s > 59 || f >= fps || text.size() != 11)
    return -1;
  return ((h * 60LL + m) * 60 + s) * fps + f;
}

bool CheckTimecode(const std::string& text, int fps, std::string& error) {
  if (TimecodeFrames(text, fps) >= 0) return true;
  error = "timecode \"" + text + "\" is not HH:MM:SS:FF at " + std::to_string(fps) +
          " frames a second";
  return false;
}

}  // namespace lumatrice
