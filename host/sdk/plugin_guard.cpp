// Naming a module and a class for a plug-in call that threw.
#include "plugin_guard.h"

#include <exception>

#ifndef _WIN32  // there the SDK's types come from the system's headers
#include <dlfcn.h>
#endif

namespace hostsdk {

std::string ModuleFileAt(const void* address) {
  std::string path;
  if (address) {
#ifdef _WIN32
    HMODULE module = nullptr;
    char name[1024];
    if (GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<const char*>(address), &module)) {
      const DWORD n = GetModuleFileNameA(module, name, sizeof name);
      if (n > 0 && n < sizeof name) path.assign(name, n);
    }
#else
    Dl_info info{};
    if (dladdr(address, &info) && info.dli_fname) path = info.dli_fname;
#endif
  }
  if (path.empty()) return "an unknown module";
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ModuleOf(const void* object) {
  // An object's first word points into its class's virtual table, which
  // lies in the module that defines the class.
  return ModuleFileAt(object ? *static_cast<const void* const*>(object) : nullptr);
}

std::string ClassNameOf(Animatable* object) {
  if (!object) return "";
  try {
    CStr name;
    object->GetClassName(name);
    return name.data() ? name.data() : "";
  } catch (...) {
    return "";
  }
}

std::string ClassNameOf(ClassDesc* desc) {
  if (!desc) return "";
  try {
    const char* name = desc->ClassName();
    return name ? name : "";
  } catch (...) {
    return "";
  }
}

void ThrowPluginFault(const std::string& module, const std::string& class_name,
                      const std::string& call) {
  std::string what;
  try {
    throw;
  } catch (const std::exception& e) {
    what = std::string(" threw: ") + e.what();
  } catch (...) {
    what = " threw an exception that is not a std::exception";
  }
  throw PluginFault(module + ": " + (class_name.empty() ? "" : class_name + ": ") + call + what);
}

}  // namespace hostsdk
