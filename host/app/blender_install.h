// `lumatrice blender install`: copies the Blender add-on the build made
// (build/blender/lumatrice_blender) into a Blender user's add-on folder.
#pragma once

#include <string>

namespace lumatrice {

struct BlenderInstallArgs {
  std::string addons;           // the add-on folder; default from Blender's own rules
  std::string blender_version = "3.4";
};

int RunBlenderInstall(const BlenderInstallArgs& args);

}  // namespace lumatrice
