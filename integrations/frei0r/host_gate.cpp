// Shared for applying, exclusive for changing: the library's own call lock
// lets applies of different effects run together, and this gate keeps the
// state from changing under them.
#include "host_gate.h"

#include <mutex>
#include <optional>
#include <shared_mutex>

namespace lumatrice::frei0r {
namespace {

std::shared_mutex g_gate;
std::optional<HostState> g_state;  // unknown until first set

std::string Set(lumatrice_session* session, const HostState& want) {
  g_state.reset();  // a half-made change leaves it unknown
  if (lumatrice_set_frame_rate(session, want.rate) != LUMATRICE_OK ||
      lumatrice_set_scene_path(session, want.scene.c_str()) != LUMATRICE_OK ||
      lumatrice_pin_clock(session, want.clock.c_str()) != LUMATRICE_OK)
    return lumatrice_last_error();
  g_state = want;
  return "";
}

}  // namespace

std::string WithHostState(lumatrice_session* session, const HostState& want,
                          const std::function<void()>& apply) {
  {
    std::shared_lock<std::shared_mutex> shared(g_gate);
    if (g_state == want) {
      apply();
      return "";
    }
  }
  std::unique_lock<std::shared_mutex> alone(g_gate);
  if (g_state != want) {
    const std::string error = Set(session, want);
    if (!error.empty()) return error;
  }
  apply();
  return "";
}

void ForgetHostState() {
  std::unique_lock<std::shared_mutex> alone(g_gate);
  g_state.reset();
}

}  // namespace lumatrice::frei0r
