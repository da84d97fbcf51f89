// Plug-in folders, module loading with its checks, the entry calls, and the
// class registry.
#include "plugin_loader.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "elf_image.h"
#include "module_resources.h"

namespace fs = std::filesystem;

namespace pluginloader {
namespace {

using DescriptionProc = const char* (*)();
using NumberClassesProc = int (*)();
using ClassDescProc = ClassDesc* (*)(int);
using VersionProc = ULONG (*)();

// More would be a broken module, not a real one.
constexpr int kMaxClasses = 4096;

std::string Hex(ULONG v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(v));
  return text;
}

std::string ExecutableFolder() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

std::vector<std::string> OrderExports(std::vector<std::string> names) {
  auto rank = [](const std::string& name) {
    for (std::size_t i = 0; i < std::size(kRequiredExports); ++i) {
      if (name == kRequiredExports[i]) return int(i);
    }
    return int(std::size(kRequiredExports));
  };
  std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    int ra = rank(a), rb = rank(b);
    return ra != rb ? ra < rb : a < b;
  });
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

struct SegmentQuery {
  std::uintptr_t inside;   // an address known to be in the module
  std::uintptr_t address;  // the address asked about
  bool executable = false;
};

// True when `address` lies in an executable segment of the object holding
// `inside`: the entry must be the module's own code.
bool InExecutableSegment(const void* inside, std::uintptr_t address) {
  SegmentQuery query{reinterpret_cast<std::uintptr_t>(inside), address};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto& q = *static_cast<SegmentQuery*>(data);
        bool holds = false;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
          if (ph.p_type == PT_LOAD && q.inside >= start && q.inside - start < ph.p_memsz) holds = true;
        }
        if (!holds) return 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
          if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) && q.address >= start &&
              q.address - start < ph.p_memsz) {
            q.executable = true;
          }
        }
        return 1;
      },
      &query);
  return query.executable;
}

// Calls into module code; an exception thrown there stops at this line.
template <typename Fn>
bool Guarded(Fn fn, std::string& failure, const char* what) {
  try {
    fn();
    return true;
  } catch (...) {
    failure = std::string("threw an exception in ") + what;
    return false;
  }
}

}  // namespace

std::vector<std::string> SplitPathList(const std::string& list) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t colon = list.find(':', start);
    if (colon == std::string::npos) colon = list.size();
    if (colon > start) parts.push_back(list.substr(start, colon - start));
    start = colon + 1;
  }
  return parts;
}

std::vector<std::string> PluginFolders(const FolderOptions& options) {
  std::vector<std::string> candidates;
  if (options.executable_folder) candidates.push_back(ExecutableFolder());
  candidates.insert(candidates.end(), options.folders.begin(), options.folders.end());
  if (options.environment) {
    if (const char* env = std::getenv("LUMATRICE_PLUGIN_PATH")) {
      for (auto& folder : SplitPathList(env)) candidates.push_back(folder);
    }
  }
  std::vector<std::string> folders;
  std::vector<fs::path> seen;
  for (auto& folder : candidates) {
    if (folder.empty()) continue;
    std::error_code ec;
    fs::path key = fs::weakly_canonical(folder, ec);
    if (ec) key = fs::path(folder).lexically_normal();
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
    seen.push_back(key);
    folders.push_back(folder);
  }
  return folders;
}

PluginLoader::PluginLoader() = default;

PluginLoader::~PluginLoader() { Unload(); }

void PluginLoader::Refuse(const std::string& path, std::string reason) {
  refused_.push_back({path, std::move(reason)});
}

void PluginLoader::LoadFolders(const std::vector<std::string>& folders) {
  for (const auto& folder : folders) {
    std::error_code ec;
    std::vector<fs::path> files;
    fs::directory_iterator it(folder, ec);
    if (ec) {
      Refuse(folder, "plug-in folder cannot be read: " + ec.message());
      continue;
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      std::string ext = it->path().extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
      std::error_code type_ec;
      if (ext == ".dlv" && fs::is_regular_file(it->path(), type_ec)) files.push_back(it->path());
    }
    if (ec) Refuse(folder, "plug-in folder cannot be read: " + ec.message());
    std::sort(files.begin(), files.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    for (const auto& file : files) LoadModule(file.string());
  }
}

bool PluginLoader::LoadModule(const std::string& path) {
  std::error_code ec;
  std::string real = fs::canonical(path, ec).string();
  if (ec) {
    Refuse(path, "cannot be read: " + ec.message());
    return false;
  }
  if (std::find(real_paths_.begin(), real_paths_.end(), real) != real_paths_.end()) return true;

  ElfImage image;
  std::string error;
  if (!ReadElfImage(real, image, error)) {
    Refuse(path, error);
    return false;
  }

  // Opening runs the module's static initialisations.
  void* handle = dlopen(real.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    Refuse(path, std::string("cannot be loaded: ") + (why ? why : "unknown error"));
    return false;
  }
  if (std::find(handles_.begin(), handles_.end(), handle) != handles_.end()) {
    dlclose(handle);  // the same module under another name
    return true;
  }
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) {
    dlclose(handle);
    Refuse(path, "cannot be loaded: no load information");
    return false;
  }
  LoadedModule module;
  module.path = path;
  module.instance = hostres::InstanceOf(map->l_ld);

  EntryProc entry = nullptr;
  bool attached = false;
  auto abandon = [&](std::string reason) {
    if (attached) {
      std::string ignored;
      Guarded([&] { entry(module.instance, DLL_PROCESS_DETACH, nullptr); }, ignored, "its entry");
    }
    dlclose(handle);
    Refuse(path, std::move(reason));
    return false;
  };

  // Only the module's own definitions count, not those of its dependencies.
  void* procs[std::size(kRequiredExports)] = {};
  for (std::size_t i = 0; i < std::size(kRequiredExports); ++i) {
    procs[i] = dlsym(handle, kRequiredExports[i]);
    if (!procs[i] || hostres::InstanceOf(procs[i]) != module.instance) {
      return abandon(std::string("missing export ") + kRequiredExports[i]);
    }
  }
  auto lib_description = reinterpret_cast<DescriptionProc>(procs[0]);
  auto lib_number_classes = reinterpret_cast<NumberClassesProc>(procs[1]);
  auto lib_class_desc = reinterpret_cast<ClassDescProc>(procs[2]);
  auto lib_version = reinterpret_cast<VersionProc>(procs[3]);

  if (!Guarded([&] { module.version = lib_version(); }, error, "LibVersion")) return abandon(error);
  if (SdkRelease(module.version) != SdkRelease(kHostSdkVersion)) {
    return abandon("incompatible: built for host SDK release " +
                   std::to_string(SdkRelease(module.version)) + " (version " + Hex(module.version) +
                   "), this host is release " + std::to_string(SdkRelease(kHostSdkVersion)) +
                   " (version " + Hex(kHostSdkVersion) + ")");
  }

  if (image.entry != 0) {
    std::uintptr_t address = map->l_addr + image.entry;
    if (!InExecutableSegment(map->l_ld, address)) return abandon("entry point outside the module's code");
    entry = reinterpret_cast<EntryProc>(address);
    BOOL ok = FALSE;
    if (!Guarded([&] { ok = entry(module.instance, DLL_PROCESS_ATTACH, nullptr); }, error, "its entry")) {
      return abandon(error);
    }
    attached = true;  // a failed attach is still answered with a detach
    if (!ok) return abandon("entry failed at process attach (returned 0)");
  }
  module.entry = entry;

  int count = 0;
  bool asked = Guarded(
      [&] {
        const char* text = lib_description();
        module.description = text ? text : "";
        count = lib_number_classes();
      },
      error, "LibDescription or LibNumberClasses");
  if (!asked) return abandon(error);
  if (count < 0 || count > kMaxClasses) {
    return abandon("LibNumberClasses answered " + std::to_string(count));
  }
  std::vector<Registration> added;
  for (int i = 0; i < count; ++i) {
    ClassDesc* cd = nullptr;
    SClass_ID super = 0;
    Class_ID id;
    bool read = Guarded(
        [&] {
          cd = lib_class_desc(i);
          if (cd) {
            super = cd->SuperClassID();
            id = cd->ClassID();
          }
        },
        error, "LibClassDesc");
    if (!read) return abandon(error);
    if (!cd) continue;  // an empty slot is no class
    auto same = [&](const Registration& r) { return r.super == super && r.id == id; };
    auto clash = std::find_if(registry_.begin(), registry_.end(), same);
    if (clash != registry_.end() || std::any_of(added.begin(), added.end(), same)) {
      std::string owner = clash != registry_.end() ? modules_[clash->module].path : path;
      return abandon("class (" + Hex(id.PartA()) + ", " + Hex(id.PartB()) + ") of superclass " +
                     Hex(super) + " is already registered by " + owner);
    }
    added.push_back({super, id, cd, modules_.size()});
    module.classes.push_back(cd);
  }

  if (auto resources = hostres::ModuleResources(module.instance)) module.version_info = resources->Version();
  module.exports = OrderExports(std::move(image.exports));

  modules_.push_back(std::move(module));
  handles_.push_back(handle);
  real_paths_.push_back(real);
  registry_.insert(registry_.end(), added.begin(), added.end());
  return true;
}

void PluginLoader::Unload() {
  registry_.clear();
  while (!modules_.empty()) {
    LoadedModule& module = modules_.back();
    if (module.entry) {
      std::string ignored;
      Guarded([&] { module.entry(module.instance, DLL_PROCESS_DETACH, nullptr); }, ignored, "its entry");
    }
    dlclose(handles_.back());
    modules_.pop_back();
    handles_.pop_back();
    real_paths_.pop_back();
  }
  refused_.clear();
}

ClassDesc* PluginLoader::FindClass(SClass_ID super, Class_ID id) const {
  for (const auto& r : registry_) {
    if (r.super == super && r.id == id) return r.desc;
  }
  return nullptr;
}

std::vector<ClassDesc*> PluginLoader::ClassesOf(SClass_ID super) const {
  std::vector<ClassDesc*> classes;
  for (const auto& r : registry_) {
    if (r.super == super) classes.push_back(r.desc);
  }
  return classes;
}

}  // namespace pluginloader
