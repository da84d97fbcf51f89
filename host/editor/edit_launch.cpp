// Loads liblumatrice_editor.so beside the running program and calls its entry.
#include "edit_launch.h"

#include <dlfcn.h>

#include <string>

#include "edit_entry.h"
#include "fail.h"
#include "own_folder.h"

namespace lumatrice {

int RunEdit(const char* program, const EditArgs& args,
            const std::vector<std::string>& plugin_folders) {
  const std::string path = ProgramFolder() + "/" + kLumatriceEditorLibrary;
  // Never unloaded: Qt does not expect to leave a running process.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    return Fail(std::string("the editor cannot be loaded: ") + (why ? why : path.c_str()));
  }
  auto entry = reinterpret_cast<LumatriceEditorMainFn>(::dlsym(handle, kLumatriceEditorEntry));
  if (!entry) return Fail(path + " has no entry " + kLumatriceEditorEntry);
  std::vector<const char*> folders;
  for (const std::string& f : plugin_folders) folders.push_back(f.c_str());
  LumatriceEditRequest request{};
  request.size = sizeof(request);
  request.program = program ? program : "lumatrice";
  request.scene = args.scene.c_str();
  request.plugin_folders = folders.data();
  request.plugin_folder_count = int(folders.size());
  request.screenshot = args.screenshot.c_str();
  return entry(&request);
}

}  // namespace lumatrice
