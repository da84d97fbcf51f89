// `lumatrice edit`: loads the editor library from the program's own folder
// and runs it. Free of Qt, so the program links it without needing Qt for
// any other command.
#pragma once

#include <string>
#include <vector>

namespace lumatrice {

struct EditArgs {
  std::string scene;       // "" for a new scene with one Lumatrice effect
  std::string screenshot;  // "" to run; else a PNG of the window, then quit
};

// Exit status: the editor's, or 1 when the library cannot be loaded.
int RunEdit(const char* program, const EditArgs& args,
            const std::vector<std::string>& plugin_folders);

}  // namespace lumatrice
