// The objects behind the C handles, the table that maps handles to them, and
// the guard every exported function runs its body in: one call at a time,
// every C++ failure turned into a code and a message that names the call.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "frame_buffer.h"
#include "lumatrice.h"
#include "plugin_guard.h"
#include "plugin_loader.h"
#include "res_format.h"
#include "scene.h"
#include "status.h"
#include "view_transform.h"

namespace lumatrice::embed {

// A frame made on its first use: its description belongs to the image
// library, which loading this library and opening sessions leave unloaded.
class LazyFrame {
 public:
  FrameBuffer& get() {
    if (!frame_) frame_ = std::make_unique<FrameBuffer>();
    return *frame_;
  }

 private:
  std::unique_ptr<FrameBuffer> frame_;
};

// Thrown inside a guarded body; becomes the call's code and message.
struct Failure {
  int32_t code;
  std::string message;
};
[[noreturn]] void Fail(int32_t code, std::string message);
// A failed status of the libraries below, with its kind's code (ErrorCode).
[[noreturn]] void Fail(const Status& status);

struct ClassEntry {
  ClassDesc* desc = nullptr;
  std::string name, category, module_path, version;
  uint32_t a = 0, b = 0;
  HINSTANCE instance = nullptr;  // the module's, for its resources
};

}  // namespace lumatrice::embed

struct lumatrice_effect {
  lumatrice_session* session = nullptr;  // the object, not its handle
  lumatrice_effect* handle = nullptr;    // what the caller holds
  Effect* effect = nullptr;
  ClassDesc* desc = nullptr;
  HINSTANCE instance = nullptr;
  std::string class_name;  // UTF-8

  // Read on first use; the texts handed out live here as long as the effect.
  struct Dialog {
    hostres::DialogTemplate tmpl;
    std::string font;
    std::vector<std::string> classes, texts;
  };
  bool resources_read = false;
  std::optional<hostres::ResourceSet> resources;
  std::map<int32_t, Dialog> dialogs;
  std::vector<std::pair<int32_t, std::string>> strings;  // ID order
  bool strings_read = false;
  std::vector<std::string> param_names, param_defaults;
  std::string block_name;
  std::map<std::string, std::string> text_values;  // lumatrice_get_text's answers

  // lumatrice_apply_effect's own: one apply of this effect at a time, into its own frame.
  std::mutex apply_mutex;
  lumatrice::embed::LazyFrame frame;
};


struct lumatrice_session {
  lumatrice_session* handle = nullptr;  // what the caller holds
  const pluginloader::PluginLoader* loader = nullptr;  // the modules, kept between sessions
  std::vector<std::string> folders;
  std::vector<std::pair<std::string, std::string>> refused;
  std::vector<lumatrice::embed::ClassEntry> classes;
  lumatrice::Scene scene;  // the effect list, in apply order
  std::vector<std::unique_ptr<lumatrice_effect>> effects;  // parallel to scene.items

  std::mutex notice_mutex;  // message boxes may come from an effect's worker thread
  std::deque<std::string> notices;
  std::string notice;  // the one handed out last

  std::string clock_text;
  lumatrice::embed::LazyFrame frame;  // memory frames pass through it, kept between calls
  lumatrice::embed::LazyFrame file_frame;  // the same for stamped files
  std::unique_ptr<lumatrice::ViewTransform> caption_colour;  // null: scene values
  // The pre-render notification went out and no frame has been applied since:
  // the next one may take the slate.
  bool slate_due = false;
};

namespace lumatrice::embed {

// The one open session, or null.
lumatrice_session* OpenSession();
void SetOpenSession(lumatrice_session* session);

void ClearError();
void SetError(int32_t code, std::string message);

// Serialises every call; not taken by the last-error readers. Applies of
// single effects hold it shared, so they run side by side and every other
// call waits for them.
std::shared_mutex& CallMutex();

template <template <class> class Lock = std::unique_lock, typename Body>
int32_t Guard(const char* call, Body&& body) noexcept {
  try {
    Lock<std::shared_mutex> lock(CallMutex());
    ClearError();
    body();
    return LUMATRICE_OK;
  } catch (const Failure& f) {
    SetError(f.code, std::string(call) + ": " + f.message);
    return f.code;
  } catch (const std::bad_alloc&) {
    SetError(LUMATRICE_E_MEMORY, std::string(call) + ": out of memory");
    return LUMATRICE_E_MEMORY;
  } catch (const std::exception& e) {
    SetError(LUMATRICE_E_INTERNAL, std::string(call) + ": " + e.what());
    return LUMATRICE_E_INTERNAL;
  } catch (...) {
    SetError(LUMATRICE_E_INTERNAL, std::string(call) + ": unknown failure");
    return LUMATRICE_E_INTERNAL;
  }
}

// A handle is a number from a counter that never repeats, not an address:
// one of a deleted effect or a closed session finds nothing even when a new
// object takes the old one's memory. Guarded by the call lock.
void AddHandle(lumatrice_session* session);
void AddHandle(lumatrice_effect* effect);
void DropHandle(const lumatrice_session* session);
void DropHandle(const lumatrice_effect* effect);
// The object behind a handle, or null when it is gone (or never was).
lumatrice_session* Find(lumatrice_session* handle);
lumatrice_effect* Find(lumatrice_effect* handle);

// Argument checks that fail the call with LUMATRICE_E_ARGUMENT.
void Need(const void* pointer, const char* what);
// The object behind a live handle; LUMATRICE_E_ARGUMENT for null,
// LUMATRICE_E_STATE for a handle whose object is gone.
lumatrice_session* Live(lumatrice_session* handle);
lumatrice_effect* Live(lumatrice_effect* handle);
// Index in [0, count) or LUMATRICE_E_NOT_FOUND.
void InRange(int32_t index, std::size_t count, const char* what);

// Runs one plug-in call on `object` (an effect or a class descriptor) in
// the hosts' one guard; a module's exception fails the API call with
// LUMATRICE_E_PLUGIN naming the module, the class and the call.
template <typename Object, typename F>
void PluginCall(Object* object, const char* what, F&& f) {
  try {
    hostsdk::GuardPluginCall(object, what, std::forward<F>(f));
  } catch (const hostsdk::PluginFault& fault) {
    Fail(LUMATRICE_E_PLUGIN, fault.what());
  }
}

// The session's effects, for naming the class of a notification callback.
std::vector<Animatable*> Owners(lumatrice_session* session);

// Every effect of the session, in order, or only `only`: Apply at t on
// `frame`.
void ApplyEffects(lumatrice_session* session, TimeValue t, FrameBuffer& frame,
                  const lumatrice_effect* only = nullptr);

// Checks the caller's frame, copies it into `buffer`, runs `apply` on it and
// copies it back.
void ApplyInMemory(FrameBuffer& buffer, lumatrice_frame* frame,
                   const std::function<void(FrameBuffer&)>& apply);

// The folder holding this library.
std::string LibraryFolder();

}  // namespace lumatrice::embed
