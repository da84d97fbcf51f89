// A log shared by the test binary and the probe modules: each probe records
// its entry calls and static construction/destruction here, so the tests see
// what happened inside a module after it is gone.
#pragma once

#include <string>
#include <vector>

#include "win_types.h"

struct ProbeEvent {
  std::string module;  // the probe's name
  std::string what;    // "static built", "entry", "static destroyed"
  HINSTANCE instance;  // entry: the handle passed
  DWORD reason;        // entry: the reason passed
  bool statics_ready;  // entry: whether the probe's static object was built
};

void RecordProbeEvent(const ProbeEvent& event);
std::vector<ProbeEvent> ProbeEvents();
void ClearProbeEvents();
