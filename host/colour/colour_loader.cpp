// Loads liblumatrice_colour.so on the first run that asks for a colour
// transform, from beside the program or library this code is linked into
// (or ../bin, for the embedding library in the build tree's lib folder).
// Fixed places only: never a search path.
#include <dlfcn.h>
#include <unistd.h>

#include <mutex>

#include "own_folder.h"
#include "view_transform.h"

namespace lumatrice {
namespace {

ColourBackend* LoadColourBackend(std::string& error) {
  static std::once_flag once;
  static ColourBackend* backend = nullptr;
  static std::string why;
  std::call_once(once, [] {
    const std::string folder = FolderHolding(reinterpret_cast<const void*>(&LoadColourBackend));
    why = std::string(kColourLibrary) + " is not in " + folder;
    for (const char* sub : {"/", "/../bin/"}) {
      const std::string path = folder + sub + kColourLibrary;
      if (::access(path.c_str(), R_OK) != 0) continue;
      // Never unloaded: its transforms live as long as the run or session.
      void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!handle) {
        const char* e = ::dlerror();
        why = e ? e : path;
        return;
      }
      using Entry = ColourBackend* (*)();
      auto entry = reinterpret_cast<Entry>(::dlsym(handle, kColourEntry));
      if (!entry) {
        why = path + " has no entry " + kColourEntry;
        return;
      }
      backend = entry();
      return;
    }
  });
  if (!backend) error = why;
  return backend;
}

}  // namespace

Status OpenViewTransform(const ColourOptions& options, std::unique_ptr<ViewTransform>& out) {
  out.reset();
  if (!options.active()) return {};
  std::string error;
  ColourBackend* backend = LoadColourBackend(error);
  if (!backend) return Status::Failed("colour transforms cannot be loaded: " + error);
  return backend->Open(options, out);
}

}  // namespace lumatrice
