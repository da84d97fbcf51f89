// Host-wide services: the core interface, notifications, time formatting,
// debug assertions and the host's custom controls.
// Declarations only: the stand-in is host/sdk (libhostsdk.so).
#pragma once

#include "sdk_types.h"

constexpr int NOTIFY_PRE_RENDER = 0x14;
constexpr int NOTIFY_POST_RENDER = 0x15;

struct NotifyInfo {
  int intcode;
  void* callParam;
};

using NOTIFYPROC = void (*)(void* param, NotifyInfo* info);

class Interface {
 public:
  virtual ~Interface() = default;
  // Scene file name without its folder, and the complete path; empty when the
  // scene was never saved.
  virtual CStr GetCurFileName() = 0;
  virtual CStr GetCurFilePath() = 0;
};

Interface* GetCOREInterface();

// Registration is per (proc, param, code); the same triple twice counts once.
int RegisterNotification(NOTIFYPROC proc, void* param, int code);
// Removes (proc, param) for every code.
int UnRegisterNotification(NOTIFYPROC proc, void* param);
int UnRegisterNotification(NOTIFYPROC proc, void* param, int code);

// The time as the host displays it (its time display mode and frame rate).
void TimeToString(TimeValue t, CStr& s);

// Debug report of a failed assertion; execution goes on.
void assert1(int line, const char* file);
#define DbgAssert(expr) ((expr) ? (void)0 : assert1(__LINE__, __FILE__))

// Makes the host's custom controls ("CustEdit" among them) usable in the
// module's dialogs.
void InitCustomControls(HINSTANCE instance);
