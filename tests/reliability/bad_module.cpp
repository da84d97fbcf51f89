// Plug-in modules that the host must refuse, one per build variant:
//   BAD_NO_CLASSDESC   leaves out the LibClassDesc export
//   BAD_VERSION        LibVersion answers this instead of the host's
//   BAD_UNRESOLVED     needs a function nothing defines, so it cannot load
#include "host_sdk.h"

#define BAD_EXPORT extern "C" __attribute__((visibility("default")))

#ifndef BAD_VERSION
#define BAD_VERSION 0x10680800
#endif

#ifdef BAD_UNRESOLVED
extern "C" int LumatriceReliabilityNowhere();
#endif

BAD_EXPORT const char* LibDescription() {
#ifdef BAD_UNRESOLVED
  return LumatriceReliabilityNowhere() ? "bad" : "worse";
#else
  return "bad module";
#endif
}
BAD_EXPORT int LibNumberClasses() { return 0; }
#ifndef BAD_NO_CLASSDESC
BAD_EXPORT ClassDesc* LibClassDesc(int) { return nullptr; }
#endif
BAD_EXPORT ULONG LibVersion() { return BAD_VERSION; }
