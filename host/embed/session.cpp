// The guard's state (per-thread last error, the call lock, the open session)
// and what several calls share: argument checks, applying the effect list.
#include "session.h"

#include <dlfcn.h>

#include <filesystem>

namespace lumatrice::embed {
namespace {

lumatrice_session* g_session = nullptr;

struct LastError {
  int32_t code = LUMATRICE_OK;
  std::string message;
};
thread_local LastError t_error;

// An apply from the embedding API cannot be cancelled half way.
class NoAbort : public CheckAbortCallback {
 public:
  BOOL Check() override { return FALSE; }
  BOOL Progress(int, int) override { return TRUE; }
  void SetTitle(const char*) override {}
};

}  // namespace

void Fail(int32_t code, std::string message) { throw Failure{code, std::move(message)}; }

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

void Need(const void* pointer, const char* what) {
  if (!pointer) Fail(LUMATRICE_E_ARGUMENT, std::string(what) + " is null");
}

lumatrice_session* Live(lumatrice_session* session) {
  Need(session, "the session");
  if (session != g_session) Fail(LUMATRICE_E_STATE, "the session is closed");
  return session;
}

lumatrice_effect* Live(lumatrice_effect* effect) {
  Need(effect, "the effect");
  Live(effect->session);
  return effect;
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

}  // extern "C"
