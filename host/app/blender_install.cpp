// The add-on is copied whole to a hidden folder beside the target and renamed
// into place, so Blender never sees half an add-on.
#include "blender_install.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "commands.h"
#include "fail.h"

namespace fs = std::filesystem;

namespace lumatrice {
namespace {

constexpr const char* kPackage = "lumatrice_blender";

// Where Blender looks for a user's add-ons when nothing else is said.
fs::path DefaultAddons(const std::string& version) {
  if (const char* scripts = std::getenv("BLENDER_USER_SCRIPTS"); scripts && *scripts)
    return fs::path(scripts) / "addons";
  fs::path config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    config = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    config = fs::path(home) / ".config";
  else
    return {};
  return config / "blender" / version / "scripts" / "addons";
}

}  // namespace

int RunBlenderInstall(const BlenderInstallArgs& args) {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  const fs::path source = exe.parent_path().parent_path() / "blender" / kPackage;
  if (ec || !fs::exists(source / "__init__.py"))
    return Fail("no add-on at " + source.string() + " (build it: make)");
  const fs::path addons = args.addons.empty() ? DefaultAddons(args.blender_version)
                                              : fs::path(args.addons);
  if (addons.empty()) return Fail("no add-on folder: give --addons or set HOME");
  const fs::path target = addons / kPackage;
  const fs::path staging = addons / (std::string(".") + kPackage + ".new");
  fs::create_directories(addons, ec);
  fs::remove_all(staging, ec);
  fs::copy(source, staging, fs::copy_options::recursive, ec);
  if (!ec) fs::remove_all(target, ec);
  if (!ec) fs::rename(staging, target, ec);
  if (ec) {
    const std::string why = ec.message();
    fs::remove_all(staging, ec);
    return Fail(target.string() + ": " + why);
  }
  std::printf("installed %s\nenable it in Blender's Preferences > Add-ons (\"Lumatrice\"), "
              "or run blender --addons %s\n", target.c_str(), kPackage);
  return kExitOk;
}

}  // namespace lumatrice
