// Host-wide services: the core interface, notifications, time display,
// assertions, custom controls, UI hooks, and the host's controls over them.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "host_api.h"
#include "plugin_guard.h"
#include "sdk_internal.h"

namespace {

using hostsdk::TimeDisplay;

struct Registration {
  NOTIFYPROC proc;
  void* param;
  int code;
  bool operator==(const Registration&) const = default;
};

struct HostState {
  std::mutex mutex;  // guards every field below that is not atomic
  std::string scene_path;
  int fps = 30;
  TimeDisplay display = TimeDisplay::Frames;
  std::atomic<bool> animate{false};
  std::vector<Registration> registrations;
  std::atomic<int> asserts{0};
  hostsdk::AssertHandler assert_handler;
  int custom_controls = 0;
  HINSTANCE custom_controls_instance = nullptr;
  hostsdk::CreateParamDialogsHook create_hook;
  hostsdk::InvalidateUIHook invalidate_hook;
  std::atomic<int> create_calls{0};
};

// Never destroyed: plug-ins may still call in while statics are torn down.
HostState& State() {
  static HostState* state = new HostState;
  return *state;
}

class CoreInterface : public Interface {
 public:
  CStr GetCurFileName() override {
    std::lock_guard lock(State().mutex);
    const std::string& path = State().scene_path;
    std::size_t cut = path.find_last_of("/\\");
    return CStr(cut == std::string::npos ? path.c_str() : path.c_str() + cut + 1);
  }
  CStr GetCurFilePath() override {
    std::lock_guard lock(State().mutex);
    return CStr(State().scene_path.c_str());
  }
};

bool Registered(const Registration& r) {
  std::lock_guard lock(State().mutex);
  auto& regs = State().registrations;
  return std::find(regs.begin(), regs.end(), r) != regs.end();
}

// Floor division, so negative times fall into the frame that contains them.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

}  // namespace

Interface* GetCOREInterface() {
  static CoreInterface* core = new CoreInterface;
  return core;
}

int RegisterNotification(NOTIFYPROC proc, void* param, int code) {
  if (!proc) return FALSE;
  Registration r{proc, param, code};
  std::lock_guard lock(State().mutex);
  auto& regs = State().registrations;
  if (std::find(regs.begin(), regs.end(), r) != regs.end()) return TRUE;
  try {
    regs.push_back(r);
  } catch (...) {
    return FALSE;
  }
  return TRUE;
}

int UnRegisterNotification(NOTIFYPROC proc, void* param) {
  std::lock_guard lock(State().mutex);
  auto removed = std::erase_if(State().registrations, [&](const Registration& r) {
    return r.proc == proc && r.param == param;
  });
  return removed ? TRUE : FALSE;
}

int UnRegisterNotification(NOTIFYPROC proc, void* param, int code) {
  std::lock_guard lock(State().mutex);
  auto removed = std::erase(State().registrations, Registration{proc, param, code});
  return removed ? TRUE : FALSE;
}

void TimeToString(TimeValue t, CStr& s) {
  int fps;
  TimeDisplay mode;
  {
    std::lock_guard lock(State().mutex);
    fps = State().fps;
    mode = State().display;
  }
  const std::int64_t tpf = hostsdk::kTicksPerSecond / fps;
  const std::int64_t tps = hostsdk::kTicksPerSecond;
  const std::int64_t ticks = t;  // 64-bit: |TIME_NegInfinity| fits
  const char* sign = ticks < 0 ? "-" : "";
  const std::int64_t mag = ticks < 0 ? -ticks : ticks;
  char buf[64];
  switch (mode) {
    case TimeDisplay::Frames:
      std::snprintf(buf, sizeof buf, "%" PRId64, FloorDiv(ticks, tpf));
      break;
    case TimeDisplay::SMPTE: {
      std::int64_t frame = FloorDiv(ticks, tpf);
      std::int64_t f = frame < 0 ? -frame : frame;
      std::snprintf(buf, sizeof buf, "%s%02" PRId64 ":%02" PRId64 ":%02" PRId64,
                    frame < 0 ? "-" : "", f / (fps * 60), (f / fps) % 60, f % fps);
      break;
    }
    case TimeDisplay::FrameTicks:
      std::snprintf(buf, sizeof buf, "%s%" PRId64 ":%" PRId64, sign, mag / tpf, mag % tpf);
      break;
    case TimeDisplay::MMSSTicks:
      std::snprintf(buf, sizeof buf, "%s%02" PRId64 ":%02" PRId64 ":%04" PRId64, sign,
                    mag / (tps * 60), (mag / tps) % 60, mag % tps);
      break;
    default:
      buf[0] = 0;
  }
  s = buf;
}

void assert1(int line, const char* file) {
  std::fprintf(stderr, "assert1: %s:%d\n", file ? file : "(unknown)", line);
  State().asserts.fetch_add(1);
  hostsdk::AssertHandler handler;
  {
    std::lock_guard lock(State().mutex);
    if (!State().assert_handler) return;
    try {
      handler = State().assert_handler;
    } catch (...) {
      return;
    }
  }
  try {
    handler(line, file);
  } catch (...) {
  }
}

void InitCustomControls(HINSTANCE instance) {
  std::lock_guard lock(State().mutex);
  ++State().custom_controls;
  State().custom_controls_instance = instance;
}

namespace hostsdk {

void SetSceneFilePath(const char* path) {
  std::lock_guard lock(State().mutex);
  try {
    State().scene_path = path ? path : "";
  } catch (...) {
    State().scene_path.clear();
  }
}

bool SetFrameRate(int fps) {
  if (fps <= 0 || fps > kTicksPerSecond || kTicksPerSecond % fps != 0) return false;
  std::lock_guard lock(State().mutex);
  State().fps = fps;
  return true;
}

int FrameRate() {
  std::lock_guard lock(State().mutex);
  return State().fps;
}

int TicksPerFrame() { return kTicksPerSecond / FrameRate(); }

void SetTimeDisplay(TimeDisplay mode) {
  std::lock_guard lock(State().mutex);
  State().display = mode;
}

TimeDisplay GetTimeDisplay() {
  std::lock_guard lock(State().mutex);
  return State().display;
}

void SetAnimateMode(bool on) { State().animate = on; }
bool AnimateMode() { return State().animate; }

namespace {

// Calls the callbacks for `code`: all of them, or only those whose param is `only`.
void Notify(int code, void* callParam, std::span<Animatable* const> owners, const void* only) {
  std::vector<Registration> due;
  {
    std::lock_guard lock(State().mutex);
    try {
      for (const Registration& r : State().registrations) {
        if (r.code == code && (!only || r.param == only)) due.push_back(r);
      }
    } catch (...) {
      return;
    }
  }
  for (const Registration& r : due) {
    if (!Registered(r)) continue;  // removed by an earlier callback
    NotifyInfo info{code, callParam};
    try {
      r.proc(r.param, &info);
    } catch (...) {
      // The callback's code names its module; its param, by custom the
      // object that registered, names the class when the host knows it.
      const auto owner = std::find(owners.begin(), owners.end(), r.param);
      ThrowPluginFault(ModuleFileAt(reinterpret_cast<const void*>(r.proc)),
                       owner == owners.end() ? "" : ClassNameOf(*owner),
                       code == NOTIFY_PRE_RENDER ? "pre-render notification"
                       : code == NOTIFY_POST_RENDER
                           ? "post-render notification"
                           : "notification " + std::to_string(code));
    }
  }
}

}  // namespace

void BroadcastNotification(int code, void* callParam, std::span<Animatable* const> owners) {
  Notify(code, callParam, owners, nullptr);
}

void NotifyOwner(int code, Animatable* owner, void* callParam) {
  if (owner) Notify(code, callParam, std::span<Animatable* const>(&owner, 1), owner);
}

int NotificationRegistrationCount() {
  std::lock_guard lock(State().mutex);
  return static_cast<int>(State().registrations.size());
}

int AssertCount() { return State().asserts; }
void ResetAssertCount() { State().asserts = 0; }

void SetAssertHandler(AssertHandler handler) {
  std::lock_guard lock(State().mutex);
  State().assert_handler = std::move(handler);
}

int InitCustomControlsCount() {
  std::lock_guard lock(State().mutex);
  return State().custom_controls;
}

HINSTANCE InitCustomControlsInstance() {
  std::lock_guard lock(State().mutex);
  return State().custom_controls_instance;
}

void SetParamDialogHooks(CreateParamDialogsHook create, InvalidateUIHook invalidate) {
  std::lock_guard lock(State().mutex);
  State().create_hook = std::move(create);
  State().invalidate_hook = std::move(invalidate);
}

int InvalidateUICount(const ParamBlockDesc2* pbd) {
  return pbd && pbd->impl() ? pbd->impl()->invalidate_ui_count.load() : 0;
}

int CreateParamDialogsCount() { return State().create_calls; }

void ResetHost() {
  std::lock_guard lock(State().mutex);
  HostState& s = State();
  s.scene_path.clear();
  s.fps = 30;
  s.display = TimeDisplay::Frames;
  s.animate = false;
  s.registrations.clear();
  s.asserts = 0;
  s.assert_handler = nullptr;
  s.custom_controls = 0;
  s.custom_controls_instance = nullptr;
  s.create_hook = nullptr;
  s.invalidate_hook = nullptr;
  s.create_calls = 0;
}

namespace detail {

IAutoEParamDlg* CreateParamDialogs(ClassDesc2* cd, IRendParams* ip, SpecialFX* obj) {
  State().create_calls.fetch_add(1);
  CreateParamDialogsHook hook;
  try {
    std::lock_guard lock(State().mutex);
    hook = State().create_hook;
  } catch (...) {
    return nullptr;
  }
  if (!hook) return nullptr;
  try {
    return hook(cd, ip, obj);
  } catch (...) {
    return nullptr;
  }
}

void InvalidateUI(ClassDesc2* cd, ParamBlockDesc2* pbd) {
  if (pbd && pbd->impl()) pbd->impl()->invalidate_ui_count.fetch_add(1);
  InvalidateUIHook hook;
  try {
    std::lock_guard lock(State().mutex);
    hook = State().invalidate_hook;
  } catch (...) {
    return;
  }
  if (!hook) return;
  try {
    hook(cd, pbd);
  } catch (...) {
  }
}

}  // namespace detail
}  // namespace hostsdk
