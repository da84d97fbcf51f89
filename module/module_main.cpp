// The module's entry and its four exports: what the host meets before any
// effect object exists.
#include "class_desc.h"

#define LUMATRICE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Host SDK release 4200, API 8, revision 0: the SDK the module is built for.
constexpr ULONG kSdkVersion = (4200u << 16) | (8u << 8) | 0u;

int controls_initialised = 0;

}  // namespace

// The module's entry, found by the loader through the module file's entry
// address (linked with -e DllMain); not exported. Runs after the static
// initialisations at attach and before their destruction at detach.
extern "C" __attribute__((visibility("hidden"), used)) BOOL DllMain(HINSTANCE instance, DWORD /*reason*/,
                                                                 void* /*reserved*/) noexcept {
  module_instance = instance;
  if (!controls_initialised) {
    controls_initialised = 1;
    InitCustomControls(instance);
    InitCommonControls();
  }
  return TRUE;
}

LUMATRICE_EXPORT const char* LibDescription() noexcept { return "Kestrin https://lumatrice.example.org"; }

LUMATRICE_EXPORT int LibNumberClasses() noexcept { return 1; }

LUMATRICE_EXPORT ClassDesc* LibClassDesc(int i) noexcept { return i == 0 ? &LumatriceClassDesc : nullptr; }

LUMATRICE_EXPORT ULONG LibVersion() noexcept { return kSdkVersion; }
