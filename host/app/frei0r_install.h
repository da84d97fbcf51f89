// `lumatrice frei0r install`: copies the frei0r filter the build made
// (build/frei0r/lumatrice.so) into a folder frei0r hosts search, with the
// library, host libraries and module it runs on beside that folder.
#pragma once

#include <string>

namespace lumatrice {

struct Frei0rInstallArgs {
  std::string lib;  // the frei0r plug-in folder; default ~/.frei0r-1/lib
};

int RunFrei0rInstall(const Frei0rInstallArgs& args);

}  // namespace lumatrice
