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

// A module opened but not registered yet: what the steps after dlopen
// need, and what giving it up undoes.
struct PluginLoader::Opening {
  std::string path;
  void* handle = nullptr;
  link_map* map = nullptr;
  ElfImage image;
  LoadedModule module;
  bool attached = false;  // its entry ran for process attach
  DescriptionProc lib_description = nullptr;
  NumberClassesProc lib_number_classes = nullptr;
  ClassDescProc lib_class_desc = nullptr;
};

namespace {

// Opening runs the module's static initialisations.
bool OpenImage(const std::string& real, PluginLoader::Opening& o, std::string& error) {
  if (!ReadElfImage(real, o.image, error)) return false;
  o.handle = dlopen(real.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!o.handle) {
    const char* why = dlerror();
    error = std::string("cannot be loaded: ") + (why ? why : "unknown error");
    return false;
  }
  return true;
}

// The four exports, the module's own (not a dependency's), and an SDK
// release this host implements.
bool ResolveExports(PluginLoader::Opening& o, std::string& error) {
  void* procs[std::size(kRequiredExports)] = {};
  for (std::size_t i = 0; i < std::size(kRequiredExports); ++i) {
    procs[i] = dlsym(o.handle, kRequiredExports[i]);
    if (!procs[i] || hostres::InstanceOf(procs[i]) != o.module.instance) {
      error = std::string("missing export ") + kRequiredExports[i];
      return false;
    }
  }
  o.lib_description = reinterpret_cast<DescriptionProc>(procs[0]);
  o.lib_number_classes = reinterpret_cast<NumberClassesProc>(procs[1]);
  o.lib_class_desc = reinterpret_cast<ClassDescProc>(procs[2]);
  auto lib_version = reinterpret_cast<VersionProc>(procs[3]);
  if (!Guarded([&] { o.module.version = lib_version(); }, error, "LibVersion")) return false;
  if (SdkRelease(o.module.version) != SdkRelease(kHostSdkVersion)) {
    error = "incompatible: built for host SDK release " +
            std::to_string(SdkRelease(o.module.version)) + " (version " +
            Hex(o.module.version) + "), this host is release " +
            std::to_string(SdkRelease(kHostSdkVersion)) + " (version " + Hex(kHostSdkVersion) +
            ")";
    return false;
  }
  return true;
}

// The module's entry, when it has one, called for process attach.
bool Attach(PluginLoader::Opening& o, std::string& error) {
  if (o.image.entry == 0) return true;
  const std::uintptr_t address = o.map->l_addr + o.image.entry;
  if (!InExecutableSegment(o.map->l_ld, address)) {
    error = "entry point outside the module's code";
    return false;
  }
  const EntryProc entry = reinterpret_cast<EntryProc>(address);
  o.module.entry = entry;
  BOOL ok = FALSE;
  if (!Guarded([&] { ok = entry(o.module.instance, DLL_PROCESS_ATTACH, nullptr); }, error,
               "its entry"))
    return false;
  o.attached = true;  // a failed attach is still answered with a detach
  if (!ok) {
    error = "entry failed at process attach (returned 0)";
    return false;
  }
  return true;
}

}  // namespace

bool PluginLoader::Abandon(Opening& o, std::string reason) {
  if (o.attached) {
    std::string ignored;
    Guarded([&] { o.module.entry(o.module.instance, DLL_PROCESS_DETACH, nullptr); }, ignored,
            "its entry");
  }
  dlclose(o.handle);
  Refuse(o.path, std::move(reason));
  return false;
}

bool PluginLoader::ReadClasses(Opening& o, std::vector<Registration>& added,
                               std::string& error) {
  int count = 0;
  const bool asked = Guarded(
      [&] {
        const char* text = o.lib_description();
        o.module.description = text ? text : "";
        count = o.lib_number_classes();
      },
      error, "LibDescription or LibNumberClasses");
  if (!asked) return false;
  if (count < 0 || count > kMaxClasses) {
    error = "LibNumberClasses answered " + std::to_string(count);
    return false;
  }
  for (int i = 0; i < count; ++i) {
    ClassDesc* cd = nullptr;
    SClass_ID super = 0;
    Class_ID id;
    const bool read = Guarded(
        [&] {
          cd = o.lib_class_desc(i);
          if (cd) {
            super = cd->SuperClassID();
            id = cd->ClassID();
          }
        },
        error, "LibClassDesc");
    if (!read) return false;
    if (!cd) continue;  // an empty slot is no class
    auto same = [&](const Registration& r) { return r.super == super && r.id == id; };
    auto clash = std::find_if(registry_.begin(), registry_.end(), same);
    if (clash != registry_.end() || std::any_of(added.begin(), added.end(), same)) {
      const std::string owner = clash != registry_.end() ? modules_[clash->module].path : o.path;
      error = "class (" + Hex(id.PartA()) + ", " + Hex(id.PartB()) + ") of superclass " +
              Hex(super) + " is already registered by " + owner;
      return false;
    }
    added.push_back({super, id, cd, modules_.size()});
    o.module.classes.push_back(cd);
  }
  return true;
}

bool PluginLoader::LoadModule(const std::string& path) {
  std::error_code ec;
  const std::string real = fs::canonical(path, ec).string();
  if (ec) {
    Refuse(path, "cannot be read: " + ec.message());
    return false;
  }
  if (std::find(real_paths_.begin(), real_paths_.end(), real) != real_paths_.end()) return true;

  Opening o;
  o.path = path;
  std::string error;
  if (!OpenImage(real, o, error)) {
    Refuse(path, error);
    return false;
  }
  if (std::find(handles_.begin(), handles_.end(), o.handle) != handles_.end()) {
    dlclose(o.handle);  // the same module under another name
    return true;
  }
  if (dlinfo(o.handle, RTLD_DI_LINKMAP, &o.map) != 0 || !o.map)
    return Abandon(o, "cannot be loaded: no load information");
  o.module.path = path;
  o.module.instance = hostres::InstanceOf(o.map->l_ld);

  std::vector<Registration> added;
  if (!ResolveExports(o, error) || !Attach(o, error) || !ReadClasses(o, added, error))
    return Abandon(o, error);

  if (auto resources = hostres::ModuleResources(o.module.instance))
    o.module.version_info = resources->Version();
  o.module.exports = OrderExports(std::move(o.image.exports));
  modules_.push_back(std::move(o.module));
  handles_.push_back(o.handle);
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
