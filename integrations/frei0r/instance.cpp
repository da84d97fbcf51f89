// An instance sets its effect's parameters only when the host changes them
// (MLT sets every parameter before every frame), and applies under the host
// state gate, so instances on other threads are not held up.
#include "instance.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "frei0r_api.h"

namespace lumatrice::frei0r {
namespace {

std::string Now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

}  // namespace

std::optional<double> ParseRate(const std::string& text) {
  double num = 0, den = 1;
  char slash = 0, rest = 0;
  const int n = std::sscanf(text.c_str(), "%lf %c %lf %c", &num, &slash, &den, &rest);
  if (!(n == 1 || (n == 3 && slash == '/')) || !(num > 0) || !(den > 0)) return std::nullopt;
  return num / den;
}

std::optional<std::optional<int64_t>> ParseStart(const std::string& text) {
  if (text.empty()) return std::optional<int64_t>();
  char* end = nullptr;
  const long long frame = std::strtoll(text.c_str(), &end, 10);
  if (*end) return std::nullopt;
  return std::optional<int64_t>(frame);
}

int64_t FrameAt(double seconds, double fps) { return std::llround(seconds * fps); }

int32_t TickRate(double fps) {
  int32_t best = 1;
  for (int32_t r = 1; r <= LUMATRICE_TICKS_PER_SECOND; ++r)
    if (LUMATRICE_TICKS_PER_SECOND % r == 0 && std::fabs(r - fps) < std::fabs(best - fps)) best = r;
  return best;
}

Instance* Instance::Create(unsigned width, unsigned height) {
  Hold();
  const Catalogue* catalogue = frei0r::Get();
  lumatrice_effect* effect = nullptr;
  if (catalogue &&
      lumatrice_create_effect(catalogue->session, kClassName, &effect) == LUMATRICE_OK) {
    try {
      return new Instance(*catalogue, effect, width, height);
    } catch (...) {
      lumatrice_delete_effect(effect);
    }
  } else if (catalogue) {
    std::fprintf(stderr, "lumatrice (frei0r): %s\n", lumatrice_last_error());
  }
  Release();
  return nullptr;
}

Instance::Instance(const Catalogue& catalogue, lumatrice_effect* effect, unsigned width,
                   unsigned height)
    : catalogue_(catalogue), effect_(effect), width_(int(width)), height_(int(height)),
      start_clock_(Now()) {
  for (const Param& p : catalogue.params) {
    numbers_.push_back(p.default_number);
    texts_.push_back(p.default_text);
  }
  if (const char* clock = std::getenv("LUMATRICE_CLOCK")) env_clock_ = clock;
}

Instance::~Instance() {
  lumatrice_delete_effect(effect_);
  Release();
}

int Instance::Index(Extra extra) const {
  for (std::size_t i = 0; i < catalogue_.params.size(); ++i)
    if (catalogue_.params[i].extra == extra) return int(i);
  return -1;
}

void Instance::Set(int index, const void* value) {
  if (index < 0 || std::size_t(index) >= catalogue_.params.size() || !value) return;
  const Param& p = catalogue_.params[index];
  if (p.type == F0R_PARAM_STRING) {
    const char* text = *static_cast<const char* const*>(value);
    const std::string utf8 = text ? text : "";
    if (utf8 == texts_[index]) return;
    if (!Take(p, utf8)) return;
    texts_[index] = utf8;
    return;
  }
  double number = *static_cast<const double*>(value);
  if (p.type == F0R_PARAM_BOOL) number = number >= 0.5 ? 1 : 0;
  if (number == numbers_[index]) return;
  if (p.extra == Extra::kNone &&
      lumatrice_set_bool(effect_, p.name.c_str(), number != 0) != LUMATRICE_OK)
    return Say(lumatrice_last_error());
  numbers_[index] = number;
}

void Instance::Get(int index, void* value) {
  if (index < 0 || std::size_t(index) >= catalogue_.params.size() || !value) return;
  if (catalogue_.params[index].type == F0R_PARAM_STRING)
    *static_cast<char**>(value) = texts_[index].data();
  else
    *static_cast<double*>(value) = numbers_[index];
}

// A text for the effect or one of the extras: false (said) when it is refused.
bool Instance::Take(const Param& p, const std::string& utf8) {
  switch (p.extra) {
    case Extra::kNone:
      if (lumatrice_set_text(effect_, p.name.c_str(), utf8.c_str()) == LUMATRICE_OK) return true;
      Say(lumatrice_last_error());
      return false;
    case Extra::kFrameRate:
      if (const auto fps = ParseRate(utf8)) {
        fps_ = *fps;
        return true;
      }
      break;
    case Extra::kRenderStart:
      if (const auto start = ParseStart(utf8)) {
        render_start_ = *start;
        return true;
      }
      break;
    case Extra::kSceneName:
    case Extra::kClock:
      return true;
  }
  Say(p.name + ": \"" + utf8 + "\" is not " +
      (p.extra == Extra::kFrameRate ? "a frame rate" : "a frame number"));
  return false;
}

HostState Instance::Wanted(double fps) const {
  HostState want;
  want.rate = TickRate(fps);
  want.scene = texts_[Index(Extra::kSceneName)];
  const std::string& clock = texts_[Index(Extra::kClock)];
  want.clock = !clock.empty() ? clock : !env_clock_.empty() ? env_clock_ : start_clock_;
  return want;
}

void Instance::Update(double time, Caller caller, const uint32_t* in, uint32_t* out) {
  if (!out) return;
  if (in && in != out) std::memcpy(out, in, std::size_t(width_) * std::size_t(height_) * 4);
  const int64_t frame = FrameAt(caller == Caller::kFfmpeg ? time / 1000 : time, fps_);
  HostState want = Wanted(fps_);
  std::string error = WithHostState(catalogue_.session, want, [&] { Apply(frame, want.rate, caller, out); });
  if (!error.empty() && want.clock != start_clock_) {
    // A clock the library cannot read: said once, and the filter's start shown instead.
    Say(error);
    want.clock = start_clock_;
    error = WithHostState(catalogue_.session, want, [&] { Apply(frame, want.rate, caller, out); });
  }
  if (!error.empty()) Say(error);
}

// Runs under the gate, with the host state set.
void Instance::Apply(int64_t frame, int32_t rate, Caller caller, uint32_t* pixels) {
  if (!first_frame_) first_frame_ = caller == Caller::kMlt ? 0 : frame;
  const int64_t slate_frame = render_start_.value_or(*first_frame_);
  const int64_t ticks = frame * (LUMATRICE_TICKS_PER_SECOND / rate);
  if (ticks < std::numeric_limits<int32_t>::min() || ticks > std::numeric_limits<int32_t>::max())
    return Say("frame " + std::to_string(frame) + " is past the effect's time range");
  if (frame == slate_frame && lumatrice_pre_render_effect(effect_) != LUMATRICE_OK)
    return Say(lumatrice_last_error());
  lumatrice_frame f{pixels, width_, height_, int64_t(width_) * 4, 4, LUMATRICE_SAMPLE_U8};
  if (lumatrice_apply_effect(effect_, int32_t(ticks), &f) != LUMATRICE_OK)
    Say(lumatrice_last_error());
}

void Instance::Say(const std::string& message) {
  if (message == said_) return;
  said_ = message;
  std::fprintf(stderr, "lumatrice (frei0r): %s\n", message.c_str());
}

}  // namespace lumatrice::frei0r
