// The shared probe log (see entry_probe.h).
#include "entry_probe.h"

#include <mutex>

namespace {
std::mutex mutex;
std::vector<ProbeEvent> events;
}  // namespace

void RecordProbeEvent(const ProbeEvent& event) {
  std::lock_guard lock(mutex);
  events.push_back(event);
}

std::vector<ProbeEvent> ProbeEvents() {
  std::lock_guard lock(mutex);
  return events;
}

void ClearProbeEvents() {
  std::lock_guard lock(mutex);
  events.clear();
}
