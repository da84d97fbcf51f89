// The program's folder from /proc/self/exe; a library's from its link map.
#include "own_folder.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

namespace lumatrice {
namespace {

std::string Parent(const std::string& path) {
  const auto cut = path.rfind('/');
  return cut == std::string::npos ? "." : path.substr(0, cut);
}

}  // namespace

std::string ProgramFolder() {
  std::string buf(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return ".";
  buf.resize(std::size_t(n));
  return Parent(buf);
}

std::string FolderHolding(const void* code) {
  Dl_info info{};
  link_map* map = nullptr;
  // The program's own entry has no name.
  if (dladdr1(code, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) && map &&
      map->l_name && map->l_name[0] == '/')
    return Parent(map->l_name);
  return ProgramFolder();
}

}  // namespace lumatrice
