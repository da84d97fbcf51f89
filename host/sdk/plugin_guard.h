// The one guard every host (the program, the editor, the embedding library)
// runs plug-in calls in: a C++ exception a module lets out of RenderBegin,
// Apply, RenderEnd, Save, Load, Create or a notification callback becomes a
// PluginFault whose message names the module's file, the class and the call,
// e.g. "Lumatrice.dlv: Lumatrice: Apply threw: bad_alloc". The host catches
// it where the job ends and stops that job cleanly.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "host_sdk.h"

namespace hostsdk {

class PluginFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file name of the module whose code or data holds `address`.
std::string ModuleFileAt(const void* address);
// The module that defines the class of a polymorphic object the module made.
std::string ModuleOf(const void* object);
// The class name of an object or a class descriptor, "" when it cannot be
// told (asking is a plug-in call too).
std::string ClassNameOf(Animatable* object);
std::string ClassNameOf(ClassDesc* desc);

// Call inside a catch block: throws the fault for the exception in flight.
[[noreturn]] void ThrowPluginFault(const std::string& module, const std::string& class_name,
                                   const std::string& call);

template <typename Object, typename F>
decltype(auto) GuardPluginCall(Object* object, const char* call, F&& f) {
  try {
    return std::forward<F>(f)();
  } catch (const PluginFault&) {
    throw;
  } catch (...) {
    ThrowPluginFault(ModuleOf(object), ClassNameOf(object), call);
  }
}

}  // namespace hostsdk
