// Loads liblumatrice_movie.so beside the running program.
#include <dlfcn.h>

#include <mutex>

#include "movie_backend.h"
#include "own_folder.h"

namespace lumatrice {

MovieBackend* LoadMovieBackend(std::string& error) {
  static std::once_flag once;
  static MovieBackend* backend = nullptr;
  static std::string why;
  std::call_once(once, [] {
    const std::string path = ProgramFolder() + "/" + kMovieLibrary;
    // Never unloaded: its objects live as long as the run.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* e = ::dlerror();
      why = "movies cannot be read or written: " + std::string(e ? e : path);
      return;
    }
    using Entry = MovieBackend* (*)();
    auto entry = reinterpret_cast<Entry>(::dlsym(handle, kMovieEntry));
    if (!entry) {
      why = path + " has no entry " + kMovieEntry;
      return;
    }
    backend = entry();
  });
  if (!backend) error = why;
  return backend;
}

}  // namespace lumatrice
