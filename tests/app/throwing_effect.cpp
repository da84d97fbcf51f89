// A plug-in module for the host-boundary tests, never installed: one render
// effect, "Throwing Effect", that throws from the call LUMATRICE_TEST_THROW
// names (RenderBegin, Apply, RenderEnd, Save, Load, or Notify for the
// pre-render notification) and does nothing otherwise. "Apply:3" throws
// only from the apply of frame 3 (at 30 frames a second); a trailing "!"
// throws an int instead of a std::exception.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "host_sdk.h"

#define THROWING_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kTicksPerFrame = 4800 / 30;

void MaybeThrow(const std::string& call, TimeValue t = 0) {
  const char* env = std::getenv("LUMATRICE_TEST_THROW");
  std::string want = env ? env : "";
  const bool not_standard = !want.empty() && want.back() == '!';
  if (not_standard) want.pop_back();
  const auto colon = want.find(':');
  if (want.substr(0, colon) != call) return;
  if (colon != std::string::npos && std::atoi(want.c_str() + colon + 1) * kTicksPerFrame != t)
    return;
  if (not_standard) throw 7;
  throw std::runtime_error("test fault in " + call);
}

void OnPreRender(void*, NotifyInfo*) { MaybeThrow("Notify"); }

class ThrowingEffect : public Effect {
 public:
  ThrowingEffect() { RegisterNotification(OnPreRender, this, NOTIFY_PRE_RENDER); }
  ~ThrowingEffect() override { UnRegisterNotification(OnPreRender, this); }
  void GetClassName(CStr& s) override { s = "Throwing Effect"; }
  Class_ID ClassID() override { return Class_ID(0x7e570001, 0x7e570002); }
  RefResult NotifyRefChanged(Interval, RefTargetHandle, PartID&, RefMessage) override {
    return REF_SUCCEED;
  }
  int RenderBegin(TimeValue t, ULONG) override { return MaybeThrow("RenderBegin", t), 0; }
  int RenderEnd(TimeValue t) override { return MaybeThrow("RenderEnd", t), 0; }
  IOResult Save(ISave*) override { return MaybeThrow("Save"), IO_OK; }
  IOResult Load(ILoad*) override { return MaybeThrow("Load"), IO_OK; }
  void Apply(TimeValue t, Bitmap*, RenderGlobalContext*, CheckAbortCallback*) override {
    MaybeThrow("Apply", t);
  }
};

class ThrowingClassDesc : public ClassDesc {
 public:
  int IsPublic() override { return 1; }
  void* Create(BOOL) override { return new ThrowingEffect; }
  const char* ClassName() override { return "Throwing Effect"; }
  SClass_ID SuperClassID() override { return RENDER_EFFECT_CLASS_ID; }
  Class_ID ClassID() override { return Class_ID(0x7e570001, 0x7e570002); }
  const char* Category() override { return ""; }
} throwing_class;

}  // namespace

THROWING_EXPORT const char* LibDescription() { return "Throwing Effect (tests only)"; }
THROWING_EXPORT int LibNumberClasses() { return 1; }
THROWING_EXPORT ClassDesc* LibClassDesc(int i) { return i == 0 ? &throwing_class : nullptr; }
THROWING_EXPORT ULONG LibVersion() { return 0x10680800; }
