// The host state the effects read (frame rate, scene path, clock) is the
// session's, one for the process, while each frei0r instance has its own.
// The gate lets instances that want the state as it is apply side by side,
// and one that wants another change it while no apply runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "lumatrice.h"

namespace lumatrice::frei0r {

struct HostState {
  int32_t rate = 25;   // divides 4800
  std::string scene;   // UTF-8, "" for none
  std::string clock;   // ISO 8601, pinned
  bool operator==(const HostState&) const = default;
};

// Runs `apply` with the session's host state equal to `want`. When setting
// it fails, `apply` does not run and the library's message is returned;
// else "".
std::string WithHostState(lumatrice_session* session, const HostState& want,
                          const std::function<void()>& apply);

// The session was closed: its next one starts from the library's defaults.
void ForgetHostState();

}  // namespace lumatrice::frei0r
