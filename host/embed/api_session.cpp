// The C API's session calls: open and close, folders, refused modules,
// notices, the render-effect classes, creating and deleting effects.
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "host_api.h"
#include "raster_host.h"
#include "session.h"
#include "text_codec.h"

using namespace lumatrice;
using namespace lumatrice::embed;

namespace {

std::string OneLine(const char* text) {
  std::string s = text ? text : "";
  for (char& c : s)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return Cp1252ToUtf8(s);
}

std::string FileVersion(const pluginloader::LoadedModule& m) {
  if (!m.version_info) return "";
  const auto v = m.version_info->Find(u"FileVersion");
  return v ? Utf16ToUtf8(*v) : "";
}

void ListClasses(lumatrice_session* s) {
  for (const pluginloader::LoadedModule& m : s->loader.Modules()) {
    for (ClassDesc* cd : m.classes) {
      if (!cd || cd->SuperClassID() != RENDER_EFFECT_CLASS_ID) continue;
      ClassEntry e;
      e.desc = cd;
      e.name = Cp1252ToUtf8(cd->ClassName() ? cd->ClassName() : "");
      e.category = Cp1252ToUtf8(cd->Category() ? cd->Category() : "");
      e.a = cd->ClassID().PartA();
      e.b = cd->ClassID().PartB();
      e.module_path = m.path;
      e.version = FileVersion(m);
      e.instance = m.instance;
      s->classes.push_back(std::move(e));
    }
  }
}

// Deletes the session with its effects, then unloads the modules.
void CloseSession(lumatrice_session* session) {
  std::unique_ptr<lumatrice_session> s(session);
  s->scene = Scene();  // effects go before their modules
  s->effects.clear();
  s->loader.Unload();
  textraster::SetMessageBoxHandler({});
  textraster::UnpinLocalTime();
  hostsdk::ResetHost();
  SetOpenSession(nullptr);
}

// A module may keep a thread in static storage while its effects live (the
// Lumatrice effect's split-merge worker); a host that exits with the session
// open would have it destroyed joinable, which aborts the process. Run after
// the modules load, so before their static destructors, this ends the
// effects first. A call still running on another thread keeps the session.
void CloseAtExit() {
  std::unique_lock<std::shared_mutex> lock(CallMutex(), std::try_to_lock);
  if (lock && OpenSession()) CloseSession(OpenSession());
}

}  // namespace

extern "C" {

int32_t lumatrice_open(const char* const* folders, int32_t count, lumatrice_session** out) {
  return Guard("lumatrice_open", [&] {
    Need(out, "out");
    *out = nullptr;
    if (count < 0 || (count > 0 && !folders)) Fail(LUMATRICE_E_ARGUMENT, "bad folder list");
    if (OpenSession()) Fail(LUMATRICE_E_STATE, "a session is open already (one per process)");
    auto s = std::make_unique<lumatrice_session>();
    pluginloader::FolderOptions options;
    // The executable is the embedding host, not us: look beside the library.
    options.executable_folder = false;
    const std::string here = LibraryFolder();
    if (!here.empty()) {
      options.folders.push_back(here);
      std::error_code ec;
      const auto bin = std::filesystem::path(here).parent_path() / "bin";
      if (std::filesystem::is_directory(bin, ec)) options.folders.push_back(bin.string());
    }
    for (int32_t i = 0; i < count; ++i) {
      Need(folders[i], "a folder");
      options.folders.emplace_back(folders[i]);
    }
    hostsdk::ResetHost();
    textraster::UnpinLocalTime();
    s->folders = pluginloader::PluginFolders(options);
    lumatrice_session* raw = s.get();
    textraster::SetMessageBoxHandler([raw](const char* text, const char* caption, UINT) {
      std::lock_guard<std::mutex> lock(raw->notice_mutex);
      raw->notices.push_back(OneLine(caption) + ": " + OneLine(text));
      return 1;  // IDOK: nobody is there to click
    });
    s->loader.LoadFolders(s->folders);
    std::atexit(CloseAtExit);
    for (const auto& r : s->loader.Refused()) s->refused.emplace_back(r.path, r.reason);
    ListClasses(s.get());
    SetOpenSession(s.get());
    *out = s.release();
  });
}

void lumatrice_close(lumatrice_session* session) {
  Guard("lumatrice_close", [&] {
    if (session && session == OpenSession()) CloseSession(session);
  });
}

int32_t lumatrice_folder_count(lumatrice_session* session, int32_t* count) {
  return Guard("lumatrice_folder_count", [&] {
    Need(count, "count");
    *count = int32_t(Live(session)->folders.size());
  });
}

int32_t lumatrice_folder(lumatrice_session* session, int32_t index, const char** path) {
  return Guard("lumatrice_folder", [&] {
    Need(path, "path");
    InRange(index, Live(session)->folders.size(), "folder");
    *path = session->folders[index].c_str();
  });
}

int32_t lumatrice_refused_count(lumatrice_session* session, int32_t* count) {
  return Guard("lumatrice_refused_count", [&] {
    Need(count, "count");
    *count = int32_t(Live(session)->refused.size());
  });
}

int32_t lumatrice_refused(lumatrice_session* session, int32_t index, const char** path,
                          const char** reason) {
  return Guard("lumatrice_refused", [&] {
    Need(path, "path");
    Need(reason, "reason");
    InRange(index, Live(session)->refused.size(), "refused module");
    *path = session->refused[index].first.c_str();
    *reason = session->refused[index].second.c_str();
  });
}

int32_t lumatrice_next_notice(lumatrice_session* session, const char** text) {
  return Guard("lumatrice_next_notice", [&] {
    Need(text, "text");
    Live(session);
    std::lock_guard<std::mutex> lock(session->notice_mutex);
    if (session->notices.empty()) Fail(LUMATRICE_E_NOT_FOUND, "no notice is queued");
    session->notice = std::move(session->notices.front());
    session->notices.pop_front();
    *text = session->notice.c_str();
  });
}

int32_t lumatrice_class_count(lumatrice_session* session, int32_t* count) {
  return Guard("lumatrice_class_count", [&] {
    Need(count, "count");
    *count = int32_t(Live(session)->classes.size());
  });
}

int32_t lumatrice_class(lumatrice_session* session, int32_t index, lumatrice_class_info* out) {
  return Guard("lumatrice_class", [&] {
    Need(out, "out");
    InRange(index, Live(session)->classes.size(), "class");
    const ClassEntry& e = session->classes[index];
    *out = lumatrice_class_info{e.name.c_str(), e.category.c_str(), e.a, e.b,
                                e.module_path.c_str(), e.version.c_str()};
  });
}

int32_t lumatrice_create_effect(lumatrice_session* session, const char* class_name,
                                lumatrice_effect** out) {
  return Guard("lumatrice_create_effect", [&] {
    Need(out, "out");
    *out = nullptr;
    Need(class_name, "the class name");
    Live(session);
    const auto it = std::find_if(session->classes.begin(), session->classes.end(),
                                 [&](const ClassEntry& e) { return e.name == class_name; });
    if (it == session->classes.end()) {
      std::string known;
      for (const ClassEntry& e : session->classes) known += (known.empty() ? "" : ", ") + e.name;
      Fail(LUMATRICE_E_NOT_FOUND, "no loaded module offers a render effect \"" +
                                      std::string(class_name) + "\" (classes: " +
                                      (known.empty() ? "none" : known) + ")");
    }
    auto e = std::make_unique<lumatrice_effect>();
    e->session = session;
    e->desc = it->desc;
    e->class_name = it->name;
    e->instance = it->instance;
    std::string error;
    if (!session->scene.AddEffect(it->desc, error))
      Fail(LUMATRICE_E_PLUGIN, "effect " + it->name + ": " + error);
    e->effect = session->scene.items.back().effect;
    session->effects.push_back(std::move(e));
    *out = session->effects.back().get();
  });
}

void lumatrice_delete_effect(lumatrice_effect* effect) {
  Guard("lumatrice_delete_effect", [&] {
    if (!effect || effect->session != OpenSession()) return;
    lumatrice_session* s = effect->session;
    const auto it = std::find_if(s->effects.begin(), s->effects.end(),
                                 [&](const auto& e) { return e.get() == effect; });
    if (it == s->effects.end()) return;
    const std::size_t i = std::size_t(it - s->effects.begin());
    Scene doomed;  // deletes the effect and its block as a scene does
    doomed.items.push_back(std::move(s->scene.items[i]));
    s->scene.items.erase(s->scene.items.begin() + std::ptrdiff_t(i));
    s->effects.erase(it);
  });
}

}  // extern "C"
