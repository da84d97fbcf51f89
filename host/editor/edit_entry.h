// The one call between the lumatrice program and its editor library
// (liblumatrice_editor.so): plain C, so that nothing but an exit status
// crosses the boundary.
#pragma once

extern "C" {

struct LumatriceEditRequest {
  int size;                           // sizeof(LumatriceEditRequest), checked by the library
  const char* program;                // argv[0]
  const char* scene;                  // scene file to open; "" for a new scene
  const char* const* plugin_folders;  // extra plug-in folders (--plugins)
  int plugin_folder_count;
  const char* screenshot;  // "" to run; else render the window into this PNG and quit
};

// Runs the editor until its window closes; returns the process exit status.
using LumatriceEditorMainFn = int (*)(const LumatriceEditRequest* request);

}  // extern "C"

inline constexpr const char* kLumatriceEditorLibrary = "liblumatrice_editor.so";
inline constexpr const char* kLumatriceEditorEntry = "LumatriceEditorMain";
