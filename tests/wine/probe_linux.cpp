// The probe's Linux backend: the host's plug-in loader and resource reader,
// the raster's pinned clock, and the drawing calls interposed by this
// program's own exported definitions (the module binds to them first).
#include <dlfcn.h>

#include "module_resources.h"
#include "plugin_loader.h"
#include "probe.h"
#include "raster_host.h"

namespace {

pluginloader::PluginLoader* loader = nullptr;

template <typename Proc>
Proc Next(const char* name) {
  return reinterpret_cast<Proc>(dlsym(RTLD_NEXT, name));
}

template <typename Proc>
bool Find(void* handle, const pluginloader::LoadedModule& m, const char* name, int ordinal,
          Proc& proc, std::string& error) {
  void* by_name = dlsym(handle, name);
  // The loader lists the exports in ordinal order.
  void* by_ordinal = int(m.exports.size()) >= ordinal
                         ? dlsym(handle, m.exports[std::size_t(ordinal - 1)].c_str())
                         : nullptr;
  if (!by_name || by_name != by_ordinal) {
    error = std::string("export ") + name + " is not ordinal " + std::to_string(ordinal);
    return false;
  }
  proc = reinterpret_cast<Proc>(by_name);
  return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) UINT SetTextAlign(HDC dc, UINT align) {
  static auto next = Next<UINT (*)(HDC, UINT)>("SetTextAlign");
  probe::LogAlign(align);
  return next(dc, align);
}

extern "C" __attribute__((visibility("default"))) BOOL TextOutA(HDC dc, int x, int y, LPCSTR text,
                                                                int length) {
  static auto next = Next<BOOL (*)(HDC, int, int, LPCSTR, int)>("TextOutA");
  probe::LogText(x, y, text, length);
  return next(dc, x, y, text, length);
}

extern "C" __attribute__((visibility("default"))) int FillRect(HDC dc, const RECT* rect,
                                                               HBRUSH brush) {
  static auto next = Next<int (*)(HDC, const RECT*, HBRUSH)>("FillRect");
  probe::LogFill(rect);
  return next(dc, rect, brush);
}

namespace probe {

bool LoadModule(const std::string& path, Module& m, std::string& error) {
  loader = new pluginloader::PluginLoader;  // kept loaded until exit
  if (!loader->LoadModule(path)) {
    error = loader->Refused().empty() ? "refused" : loader->Refused().back().reason;
    return false;
  }
  const pluginloader::LoadedModule& loaded = loader->Modules().back();
  m.instance = loaded.instance;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  return handle && Find(handle, loaded, "LibDescription", 1, m.lib_description, error) &&
         Find(handle, loaded, "LibNumberClasses", 2, m.lib_number_classes, error) &&
         Find(handle, loaded, "LibClassDesc", 3, m.lib_class_desc, error) &&
         Find(handle, loaded, "LibVersion", 4, m.lib_version, error);
}

std::vector<std::uint8_t> ResourceBytes(HINSTANCE instance, int type, int id) {
  auto set = hostres::ModuleResources(instance);
  auto data = set ? set->Find(std::uint16_t(type), std::uint16_t(id)) : std::nullopt;
  if (!data) return {};
  return std::vector<std::uint8_t>(data->begin(), data->end());
}

void PinClock(HINSTANCE, const SYSTEMTIME& time) { textraster::PinLocalTime(time); }

void HookDrawing(HINSTANCE) {}

}  // namespace probe
