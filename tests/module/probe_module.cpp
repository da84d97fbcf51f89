// Tiny plug-in modules for the loader tests, one per build variant:
//   PROBE_NAME            the name recorded in the probe log
//   PROBE_VERSION         what LibVersion answers
//   PROBE_ENTRY_RESULT    what the entry answers
//   PROBE_NO_CLASSDESC    leave out the LibClassDesc export
//   PROBE_THROWS          LibVersion throws
//   PROBE_CLASS_A/_B      export one class descriptor with this class ID
#include <stdexcept>

#ifndef PROBE_VERSION
#define PROBE_VERSION 0x10680800
#endif
#ifndef PROBE_ENTRY_RESULT
#define PROBE_ENTRY_RESULT 1
#endif

#include "entry_probe.h"
#include "host_sdk.h"

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

bool statics_ready = false;

struct StaticProbe {
  StaticProbe() {
    statics_ready = true;
    RecordProbeEvent({PROBE_NAME, "static built", nullptr, 0, true});
  }
  ~StaticProbe() { RecordProbeEvent({PROBE_NAME, "static destroyed", nullptr, 0, true}); }
} static_probe;

#ifdef PROBE_CLASS_A
class ProbeClassDesc : public ClassDesc {
 public:
  int IsPublic() override { return 1; }
  void* Create(BOOL) override { return nullptr; }
  const char* ClassName() override { return PROBE_NAME; }
  SClass_ID SuperClassID() override { return RENDER_EFFECT_CLASS_ID; }
  Class_ID ClassID() override { return Class_ID(PROBE_CLASS_A, PROBE_CLASS_B); }
  const char* Category() override { return ""; }
} probe_class;
#endif

}  // namespace

extern "C" __attribute__((visibility("hidden"), used)) BOOL ProbeEntry(HINSTANCE instance, DWORD reason,
                                                                     void*) {
  RecordProbeEvent({PROBE_NAME, "entry", instance, reason, statics_ready});
  return PROBE_ENTRY_RESULT;
}

PROBE_EXPORT const char* LibDescription() { return "probe " PROBE_NAME; }

#ifdef PROBE_CLASS_A
PROBE_EXPORT int LibNumberClasses() { return 1; }
#else
PROBE_EXPORT int LibNumberClasses() { return 0; }
#endif

#ifndef PROBE_NO_CLASSDESC
PROBE_EXPORT ClassDesc* LibClassDesc(int i) {
#ifdef PROBE_CLASS_A
  return i == 0 ? &probe_class : nullptr;
#else
  (void)i;
  return nullptr;
#endif
}
#endif

PROBE_EXPORT ULONG LibVersion() {
#ifdef PROBE_THROWS
  throw std::runtime_error("probe");
#endif
  return PROBE_VERSION;
}
