// Host-only controls of the SDK runtime: what the host program, its editor and
// the tests set and read that a plug-in never sees.
//
// Principles:
//  - One process-wide host state lives in libhostsdk.so; every user (host,
//    plug-in modules, editor, tests) sees the same one.
//  - Setters take effect at once; nothing here allocates per frame.
//  - Hooks are plain callables; an exception thrown by one is caught and
//    dropped at this boundary (a plug-in's notification callback is not a
//    hook: see BroadcastNotification). A null/empty hook means "no UI".
//  - Every function is safe to call from any thread; hooks and notification
//    callbacks are called without any internal lock held.
#pragma once

#include <functional>
#include <span>

#include "host_sdk.h"

namespace hostsdk {

// ---- scene ---------------------------------------------------------------

// Complete path of the current scene file; null or "" for an unsaved scene.
// GetCurFileName() answers its last component ('/' or '\\' separated).
void SetSceneFilePath(const char* path);

// ---- time ------------------------------------------------------------------

constexpr int kTicksPerSecond = 4800;

enum class TimeDisplay {
  Frames,      // frame containing t: "0", "15", "-1"
  SMPTE,       // minutes:seconds:frames of that frame: "00:01:05", "-00:00:01"
  FrameTicks,  // frames:ticks of |t|, signed: "15:0", "3:80", "-0:1"
  MMSSTicks,   // minutes:seconds:ticks of |t|, signed: "00:02:0160"
};

// Frames per second; must divide kTicksPerSecond. Returns false (and keeps the
// old rate) otherwise. Default 30.
bool SetFrameRate(int fps);
int FrameRate();
int TicksPerFrame();
void SetTimeDisplay(TimeDisplay mode);  // default Frames
TimeDisplay GetTimeDisplay();

// While on, setting an animatable switch of a parameter block sets a key at
// the given time. Default off.
void SetAnimateMode(bool on);
bool AnimateMode();

// ---- notifications -------------------------------------------------------

// Calls every callback registered for `code`, in registration order, with
// NotifyInfo{code, callParam}. Callbacks may register and unregister during
// the broadcast: a removed one is not called any more, an added one waits for
// the next broadcast. A callback that throws ends the broadcast with a
// PluginFault (plugin_guard.h) naming its module, and its class when it was
// registered with one of `owners` as its param.
void BroadcastNotification(int code, void* callParam = nullptr,
                           std::span<Animatable* const> owners = {});
// The same for the callbacks `owner` registered with itself as their param
// only: one effect told, the others not. A null owner tells nobody.
void NotifyOwner(int code, Animatable* owner, void* callParam = nullptr);
// Registrations currently held (each (proc, param, code) counts once).
int NotificationRegistrationCount();

// ---- debug assertions ----------------------------------------------------

// Failed assertions since start or the last reset.
int AssertCount();
void ResetAssertCount();
// Called after the stderr line for every failed assertion; empty to remove.
using AssertHandler = std::function<void(int line, const char* file)>;
void SetAssertHandler(AssertHandler handler);

// ---- custom controls -----------------------------------------------------

int InitCustomControlsCount();
HINSTANCE InitCustomControlsInstance();  // argument of the last call

// ---- rollup UI -----------------------------------------------------------

// Builds the automatic rollup of obj's P_AUTO_UI blocks; returns its handle.
using CreateParamDialogsHook =
    std::function<IAutoEParamDlg*(ClassDesc2* cd, IRendParams* ip, SpecialFX* obj)>;
// Refreshes every open rollup of pbd.
using InvalidateUIHook = std::function<void(ClassDesc2* cd, ParamBlockDesc2* pbd)>;
void SetParamDialogHooks(CreateParamDialogsHook create, InvalidateUIHook invalidate);

// ClassDesc2::InvalidateUI calls for pbd (counted with or without a UI hook).
int InvalidateUICount(const ParamBlockDesc2* pbd);
// ClassDesc2::CreateParamDialogs calls, process-wide.
int CreateParamDialogsCount();

// ---- whole state ---------------------------------------------------------

// Back to start-up state: no scene path, 30 fps, Frames display, animate mode
// off, no registrations, assert and control counts 0, no hooks or handler.
void ResetHost();

}  // namespace hostsdk
