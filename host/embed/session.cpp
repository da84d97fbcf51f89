// The guard's state (per-thread last error, the call lock, the open session,
// the handle table) and what several calls share: argument checks, applying
// the effect list.
#include "session.h"
#include "status_code.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <unordered_map>

namespace lumatrice::embed {
namespace {

lumatrice_session* g_session = nullptr;

struct LastError {
  int32_t code = LUMATRICE_OK;
  std::string message;
};
thread_local LastError t_error;

struct HandleTable {
  std::uintptr_t next = 1;  // 64 bits: never wraps in a process's life
  std::unordered_map<std::uintptr_t, lumatrice_session*> sessions;
  std::unordered_map<std::uintptr_t, lumatrice_effect*> effects;
};
HandleTable& Handles() {
  static HandleTable* table = new HandleTable;  // outlives every exit handler
  return *table;
}

template <typename Object>
Object* Lookup(const std::unordered_map<std::uintptr_t, Object*>& map, Object* handle) {
  const auto it = map.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == map.end() ? nullptr : it->second;
}

// An apply from the embedding API cannot be cancelled half way.
class NoAbort : public CheckAbortCallback {
 public:
  BOOL Check() override { return FALSE; }
  BOOL Progress(int, int) override { return TRUE; }
  void SetTitle(const char*) override {}
};

}  // namespace

void Fail(int32_t code, std::string message) { throw Failure{code, std::move(message)}; }
void Fail(const Status& status) { Fail(ErrorCode(status.kind()), status.message()); }

lumatrice_session* OpenSession() { return g_session; }
void SetOpenSession(lumatrice_session* session) { g_session = session; }

void ClearError() {
  t_error.code = LUMATRICE_OK;
  t_error.message.clear();
}

void SetError(int32_t code, std::string message) {
  t_error.code = code;
  t_error.message = std::move(message);
}

std::shared_mutex& CallMutex() {
  static std::shared_mutex m;
  return m;
}

void AddHandle(lumatrice_session* session) {
  const std::uintptr_t h = Handles().next++;
  Handles().sessions[h] = session;
  session->handle = reinterpret_cast<lumatrice_session*>(h);
}

void AddHandle(lumatrice_effect* effect) {
  const std::uintptr_t h = Handles().next++;
  Handles().effects[h] = effect;
  effect->handle = reinterpret_cast<lumatrice_effect*>(h);
}

void DropHandle(const lumatrice_session* session) {
  Handles().sessions.erase(reinterpret_cast<std::uintptr_t>(session->handle));
}

void DropHandle(const lumatrice_effect* effect) {
  Handles().effects.erase(reinterpret_cast<std::uintptr_t>(effect->handle));
}

lumatrice_session* Find(lumatrice_session* handle) { return Lookup(Handles().sessions, handle); }
lumatrice_effect* Find(lumatrice_effect* handle) { return Lookup(Handles().effects, handle); }

void Need(const void* pointer, const char* what) {
  if (!pointer) Fail(LUMATRICE_E_ARGUMENT, std::string(what) + " is null");
}

lumatrice_session* Live(lumatrice_session* handle) {
  Need(handle, "the session");
  lumatrice_session* s = Find(handle);
  if (!s) Fail(LUMATRICE_E_STATE, "the session is closed");
  return s;
}

lumatrice_effect* Live(lumatrice_effect* handle) {
  Need(handle, "the effect");
  lumatrice_effect* e = Find(handle);
  if (!e) Fail(LUMATRICE_E_STATE, "the effect is deleted or its session closed");
  return e;
}

void InRange(int32_t index, std::size_t count, const char* what) {
  if (index < 0 || std::size_t(index) >= count)
    Fail(LUMATRICE_E_NOT_FOUND, "there is no " + std::string(what) + " " + std::to_string(index) +
                                    " (there are " + std::to_string(count) + ")");
}

void ApplyEffects(lumatrice_session* session, TimeValue t, FrameBuffer& frame,
                  const lumatrice_effect* only) {
  FrameStorage storage(&frame);
  Bitmap bitmap(&storage);
  NoAbort check;
  for (const auto& e : session->effects) {
    if (only && e.get() != only) continue;
    PluginCall(e->effect, "Apply", [&] { e->effect->Apply(t, &bitmap, nullptr, &check); });
  }
}

std::vector<Animatable*> Owners(lumatrice_session* session) {
  std::vector<Animatable*> owners;
  for (const auto& e : session->effects) owners.push_back(e->effect);
  return owners;
}

std::string LibraryFolder() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) || !info.dli_fname) return "";
  std::error_code ec;
  const auto path = std::filesystem::weakly_canonical(info.dli_fname, ec);
  return (ec ? std::filesystem::path(info.dli_fname) : path).parent_path().string();
}

}  // namespace lumatrice::embed

extern "C" {

int32_t lumatrice_last_error_code(void) { return lumatrice::embed::t_error.code; }

const char* lumatrice_last_error(void) { return lumatrice::embed::t_error.message.c_str(); }

uint32_t lumatrice_api_version(void) {
  return (uint32_t(LUMATRICE_API_VERSION_MAJOR) << 16) | LUMATRICE_API_VERSION_MINOR;
}

// No call lock: a binding asks these before anything else, from any thread.
int32_t lumatrice_require_version(uint32_t major, uint32_t minor) {
  using namespace lumatrice::embed;
  ClearError();
  if (major == LUMATRICE_API_VERSION_MAJOR && minor <= LUMATRICE_API_VERSION_MINOR)
    return LUMATRICE_OK;
  const std::string have = std::to_string(LUMATRICE_API_VERSION_MAJOR) + "." +
                           std::to_string(LUMATRICE_API_VERSION_MINOR);
  const std::string want = std::to_string(major) + "." + std::to_string(minor);
  SetError(LUMATRICE_E_VERSION,
           "lumatrice_require_version: " +
               (major != LUMATRICE_API_VERSION_MAJOR
                    ? "API major version mismatch: the library is " + have +
                          ", the caller needs major version " + std::to_string(major)
                    : "the library is API " + have + ", the caller needs " + want +
                          " or a later " + std::to_string(major) + ".x"));
  return LUMATRICE_E_VERSION;
}

uint32_t lumatrice_struct_size(int32_t which) {
  switch (which) {
    case LUMATRICE_STRUCT_CLASS_INFO: return sizeof(lumatrice_class_info);
    case LUMATRICE_STRUCT_BLOCK_INFO: return sizeof(lumatrice_block_info);
    case LUMATRICE_STRUCT_PARAM_INFO: return sizeof(lumatrice_param_info);
    case LUMATRICE_STRUCT_DIALOG_INFO: return sizeof(lumatrice_dialog_info);
    case LUMATRICE_STRUCT_CONTROL_INFO: return sizeof(lumatrice_control_info);
    case LUMATRICE_STRUCT_KEY: return sizeof(lumatrice_key);
    case LUMATRICE_STRUCT_FRAME: return sizeof(lumatrice_frame);
  }
  return 0;
}

}  // extern "C"
