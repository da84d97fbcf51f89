// One frei0r instance: one effect of the process's session, the values the
// host set (for f0r_get_param_value), its own host state, and the frame its
// render started on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "host_gate.h"

namespace lumatrice::frei0r {

// Who calls f0r_update, when it matters: ffmpeg gives milliseconds where
// frei0r says seconds; MLT gives each render thread an instance of its own
// and its time is the position in the filter, so its render starts at 0.
enum class Caller { kOther, kFfmpeg, kMlt };

class Instance {
 public:
  // Null (with the reason on stderr) when the session or the effect cannot be had.
  static Instance* Create(unsigned width, unsigned height);
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  void Set(int index, const void* value);
  void Get(int index, void* value);
  void Update(double time, Caller caller, const uint32_t* in, uint32_t* out);

 private:
  Instance(const Catalogue& catalogue, lumatrice_effect* effect, unsigned width, unsigned height);
  int Index(Extra extra) const;
  bool Take(const Param& p, const std::string& utf8);
  HostState Wanted(double fps) const;
  void Apply(int64_t frame, int32_t rate, Caller caller, uint32_t* pixels);
  void Say(const std::string& message);

  const Catalogue& catalogue_;
  lumatrice_effect* effect_;
  int width_, height_;
  std::vector<double> numbers_;     // per parameter: a switch's 0 or 1, an extra's number
  std::vector<std::string> texts_;  // per parameter: a text, UTF-8
  std::string env_clock_, start_clock_;
  double fps_ = 25;
  std::optional<int64_t> render_start_;  // none: the first frame given (MLT: 0)
  std::optional<int64_t> first_frame_;
  std::string said_;
};

// "25", "29.97", "30000/1001"; none for anything else.
std::optional<double> ParseRate(const std::string& text);
// "" (none: the first frame given) or a frame number; none for anything else.
std::optional<std::optional<int64_t>> ParseStart(const std::string& text);
// The frame at `seconds`, and the rate nearest `fps` that divides 4800.
int64_t FrameAt(double seconds, double fps);
int32_t TickRate(double fps);

}  // namespace lumatrice::frei0r
