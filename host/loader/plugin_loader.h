// The host's plug-in loader: finds the plug-in modules (*.dlv) of the plug-in
// folders, loads and checks each one, runs its entry, and registers its class
// descriptors by superclass.
//
// Who calls: the host program (the lumatrice CLI) at start-up, and tests.
//     pluginloader::PluginLoader loader;
//     loader.LoadFolders(pluginloader::PluginFolders({.folders = cli_folders}));
//     for (auto& r : loader.Refused()) report(r.path, r.reason);
//     ClassDesc* cd = loader.FindClass(RENDER_EFFECT_CLASS_ID, class_id);
//
// Loading one module, in this order: the file must be a native ELF shared
// object; it is opened (its static initialisations run); it must define the
// four exports LibDescription, LibNumberClasses, LibClassDesc and LibVersion;
// LibVersion's release part (upper 16 bits) must equal the host's; the
// module's entry (the ELF entry address, e.g. DllMain) is called with the
// instance handle (the module's load address) for process attach and must
// return non-zero; then its description and class descriptors are read, and
// its version record from its resources. A module that fails a step is
// listed in Refused() with its path and the reason, and unloaded (an entry
// that ran for attach is called for detach first); the others load.
//
// Ownership: the loader owns every module it loaded. Everything it hands out
// (class descriptors, instance handles, entry) stays valid until Unload() or
// its destruction, which calls each module's entry for process detach and
// then unloads it, newest module first. Objects created through the class
// descriptors must be deleted before that.
//
// Threads: not thread-safe; use one loader from the host's main thread.
// Errors: reported in Refused(), never thrown; an exception thrown by module
// code is caught at the call and its module refused. (Only running out of
// memory in the loader itself throws std::bad_alloc.)
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host_sdk.h"
#include "res_format.h"

namespace pluginloader {

// The SDK version this host implements: release 4200, API 8, revision 0.
inline constexpr ULONG kHostSdkVersion = 0x10680800;
inline constexpr ULONG SdkRelease(ULONG version) { return version >> 16; }
inline constexpr ULONG SdkApi(ULONG version) { return (version >> 8) & 0xFF; }
inline constexpr ULONG SdkRevision(ULONG version) { return version & 0xFF; }

// The module entry, called with the instance handle, a reason and null.
using EntryProc = BOOL (*)(HINSTANCE instance, DWORD reason, void* reserved);
inline constexpr DWORD DLL_PROCESS_DETACH = 0;
inline constexpr DWORD DLL_PROCESS_ATTACH = 1;
inline constexpr DWORD DLL_THREAD_ATTACH = 2;
inline constexpr DWORD DLL_THREAD_DETACH = 3;

// The four exports, in ordinal order (1 to 4).
inline constexpr const char* kRequiredExports[] = {"LibDescription", "LibNumberClasses",
                                                   "LibClassDesc", "LibVersion"};

struct LoadedModule {
  std::string path;          // as found in its folder
  HINSTANCE instance = nullptr;
  EntryProc entry = nullptr;  // null when the module has no entry
  std::string description;   // LibDescription
  ULONG version = 0;         // LibVersion
  std::vector<ClassDesc*> classes;  // LibClassDesc(0 .. LibNumberClasses-1)
  std::optional<hostres::VersionInfo> version_info;  // nullopt without a version record
  // Names the module's dynamic symbol table defines: the four above in
  // ordinal order, then any others by name.
  std::vector<std::string> exports;
};

struct RefusedModule {
  std::string path;    // the module file, or a plug-in folder that cannot be read
  std::string reason;  // e.g. "missing export LibClassDesc"
};

struct FolderOptions {
  bool executable_folder = true;     // the folder of the running executable
  std::vector<std::string> folders;  // e.g. from --plugins, in order
  bool environment = true;           // LUMATRICE_PLUGIN_PATH, colon-separated
};

// The plug-in folders in search order (executable folder, `folders`, then the
// environment's), empty entries dropped, each folder once.
std::vector<std::string> PluginFolders(const FolderOptions& options);

// Splits a colon-separated folder list; empty entries are dropped.
std::vector<std::string> SplitPathList(const std::string& list);

class PluginLoader {
 public:
  PluginLoader();
  ~PluginLoader();
  PluginLoader(const PluginLoader&) = delete;
  PluginLoader& operator=(const PluginLoader&) = delete;

  // Loads every *.dlv file of each folder, by file name within a folder. A
  // folder that cannot be read is listed in Refused(). A file already loaded
  // (same real path) is skipped.
  void LoadFolders(const std::vector<std::string>& folders);
  // Loads one module file; true when it loaded (or was loaded already), else
  // it is in Refused().
  bool LoadModule(const std::string& path);
  // Detaches and unloads every module, newest first; clears both lists.
  void Unload();

  const std::vector<LoadedModule>& Modules() const { return modules_; }
  const std::vector<RefusedModule>& Refused() const { return refused_; }

  // The class registered under (superclass, class ID); null when none.
  ClassDesc* FindClass(SClass_ID super, Class_ID id) const;
  // Classes of a superclass, in load order.
  std::vector<ClassDesc*> ClassesOf(SClass_ID super) const;

  struct Opening;  // a module between dlopen and its registration

 private:
  struct Registration {
    SClass_ID super;
    Class_ID id;
    ClassDesc* desc;
    std::size_t module;  // index into modules_
  };
  void Refuse(const std::string& path, std::string reason);
  // Detaches (when attached) and closes the module, and refuses it: false.
  bool Abandon(Opening& o, std::string reason);
  // Its description and class descriptors, none registered already.
  bool ReadClasses(Opening& o, std::vector<Registration>& added, std::string& error);

  std::vector<LoadedModule> modules_;
  std::vector<void*> handles_;          // dlopen handles, parallel to modules_
  std::vector<std::string> real_paths_;  // parallel to modules_
  std::vector<Registration> registry_;
  std::vector<RefusedModule> refused_;
};

}  // namespace pluginloader
