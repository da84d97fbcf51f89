// OpenImageIO loaded on first need. The host calls the image library's
// functions through stubs (lazy_stubs.py, lazy_enter.S); the first call of
// each looks its function up in liblumatrice_oiio.so, which brings
// OpenImageIO and the ~260 libraries its format plugins need. A run that
// never touches a format through it (the program's --version, loading the
// embedding library) pays none of that.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

extern "C" {
extern void* lumatrice_lazy_slots[];
extern const unsigned lumatrice_lazy_count;
extern const unsigned lumatrice_lazy_offsets[];
extern const char lumatrice_lazy_names[];
void* lumatrice_lazy_resolve(unsigned index) __attribute__((visibility("hidden")));
}

namespace {

constexpr const char* kLibrary = "liblumatrice_oiio.so";

// The folder of the program or library these stubs are linked into.
std::string OwnFolder() {
  Dl_info info{};
  link_map* map = nullptr;
  std::string path;
  if (dladdr1(reinterpret_cast<void*>(&lumatrice_lazy_resolve), &info,
              reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) &&
      map && map->l_name && map->l_name[0] == '/') {
    path = map->l_name;
  } else {
    // The main program's own entry has no name.
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) path.assign(buf, std::size_t(n));
  }
  const auto cut = path.rfind('/');
  return cut == std::string::npos ? "." : path.substr(0, cut);
}

[[noreturn]] void Fatal(const std::string& what) {
  std::fprintf(stderr, "lumatrice: error: the image library cannot be loaded: %s\n",
               what.c_str());
  std::abort();
}

// Beside the program and the host libraries (build/bin, a bundle), or in
// ../bin for the embedding library in the build tree's lib folder. Fixed
// places only: never a search path.
void* Load() {
  const std::string folder = OwnFolder();
  std::string tried;
  for (const char* sub : {"/", "/../bin/"}) {
    const std::string path = folder + sub + kLibrary;
    if (::access(path.c_str(), R_OK) != 0) continue;
    // Lazy binding: of the 260 libraries' own calls few are ever made, and
    // binding them all up front costs a tenth of the load.
    if (void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL)) return handle;
    const char* why = ::dlerror();
    tried = why ? why : path;
  }
  Fatal(tried.empty() ? std::string(kLibrary) + " is not in " + folder : tried);
}

}  // namespace

void* lumatrice_lazy_resolve(unsigned index) {
  static void* const handle = Load();  // thread-safe once
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  void*& slot = lumatrice_lazy_slots[index];
  if (index < lumatrice_lazy_count) {
    const char* name = lumatrice_lazy_names + lumatrice_lazy_offsets[index];
    void* fn = ::dlsym(handle, name);
    if (!fn) Fatal(std::string("no function ") + name);
    __atomic_store_n(&slot, fn, __ATOMIC_RELEASE);
  }
  return slot;
}
