// The filter goes to LIB/lumatrice.so and what it loads to LIB/../lumatrice/,
// outside the folder hosts scan for filters. Both are written to new files
// of our own first and renamed into place; an earlier install's folder is
// swapped out whole, and replaced only when it holds nothing but our files.
#include "frei0r_install.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "commands.h"
#include "fail.h"

namespace fs = std::filesystem;

namespace lumatrice {
namespace {

constexpr std::array<const char*, 7> kBundle = {
    "liblumatrice.so", "libhostsdk.so",        "libtextraster.so",      "libhostres.so",
    "Lumatrice.dlv",   "liblumatrice_oiio.so", "liblumatrice_colour.so"};

std::string Why(const fs::path& path, int error) {
  return path.string() + ": " + std::strerror(error);
}

// Copies `from` into `fd`, the new file `to`, and closes it.
bool CopyInto(const fs::path& from, int fd, const fs::path& to, std::string& error) {
  std::ifstream in(from, std::ios::binary);
  if (!in) return error = Why(from, ENOENT), ::close(fd), false;
  char buffer[1 << 16];
  bool ok = true;
  while (ok && in) {
    in.read(buffer, sizeof buffer);
    for (std::streamsize done = 0; ok && done < in.gcount();) {
      const ssize_t n = ::write(fd, buffer + done, std::size_t(in.gcount() - done));
      if (n < 0) ok = false; else done += n;
    }
  }
  if (!ok || ::fsync(fd) != 0) error = Why(to, errno), ok = false;
  if (::close(fd) != 0 && ok) error = Why(to, errno), ok = false;
  return ok;
}

// Copies `from` into a file that must not exist yet; never follows a link.
bool CopyNew(const fs::path& from, const fs::path& to, std::string& error) {
  const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755);
  if (fd < 0) return error = Why(to, errno), false;
  return CopyInto(from, fd, to, error);
}

bool IsOurs(const fs::path& dir) {
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (std::find(kBundle.begin(), kBundle.end(), name) == kBundle.end() ||
        !e.is_regular_file() || e.is_symlink())
      return false;
  }
  return !ec;
}

void RemoveBundle(const fs::path& dir) {
  std::error_code ec;
  for (const char* name : kBundle) fs::remove(dir / name, ec);
  fs::remove(dir, ec);  // only when empty
}

// Fills a fresh hidden folder beside `target` and puts it in target's place.
bool InstallBundle(const fs::path& bin, const fs::path& lib, const fs::path& target,
                   std::string& error) {
  std::string pattern = (target.parent_path() / ".lumatrice.XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return error = Why(target.parent_path(), errno), false;
  const fs::path staging = pattern;
  bool ok = ::chmod(staging.c_str(), 0755) == 0;
  if (!ok) error = Why(staging, errno);
  ok = ok && CopyNew(lib / kBundle[0], staging / kBundle[0], error);
  for (std::size_t i = 1; ok && i < kBundle.size(); ++i)
    ok = CopyNew(bin / kBundle[i], staging / kBundle[i], error);
  struct stat st{};
  const bool exists = ::lstat(target.c_str(), &st) == 0;
  if (ok && exists && (!S_ISDIR(st.st_mode) || !IsOurs(target)))
    error = target.string() + ": holds files that are not Lumatrice's; not replaced", ok = false;
  if (ok && exists && ::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, target.c_str(),
                                  RENAME_EXCHANGE) != 0)
    error = Why(target, errno), ok = false;
  if (ok && !exists && ::rename(staging.c_str(), target.c_str()) != 0)
    error = Why(target, errno), ok = false;
  if (ok && !exists) return true;
  RemoveBundle(staging);  // ours, or after the swap the earlier install's
  return ok;
}

bool InstallFilter(const fs::path& from, const fs::path& target, std::string& error) {
  struct stat st{};
  if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return error = target.string() + ": not a regular file; not replaced", false;
  std::string pattern = (target.parent_path() / ".lumatrice.so.XXXXXX").string();
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return error = Why(target.parent_path(), errno), false;
  const fs::path staging = pattern;
  bool ok = ::fchmod(fd, 0755) == 0 && CopyInto(from, fd, staging, error);
  if (!ok && error.empty()) error = Why(staging, errno), ::close(fd);
  std::error_code ec;
  if (ok && ::rename(staging.c_str(), target.c_str()) != 0) error = Why(target, errno), ok = false;
  if (!ok) fs::remove(staging, ec);
  return ok;
}

fs::path DefaultLib() {
  const char* home = std::getenv("HOME");
  return home && *home ? fs::path(home) / ".frei0r-1" / "lib" : fs::path();
}

}  // namespace

int RunFrei0rInstall(const Frei0rInstallArgs& args) {
  std::error_code ec;
  const fs::path bin = fs::read_symlink("/proc/self/exe", ec).parent_path();
  const fs::path build = bin.parent_path();
  const fs::path filter = build / "frei0r" / "lumatrice.so";
  if (ec || !fs::exists(filter) || !fs::exists(build / "lib" / kBundle[0]))
    return Fail("no frei0r filter at " + filter.string() + " (build it: make)");
  const fs::path lib = args.lib.empty() ? DefaultLib() : fs::path(args.lib);
  if (lib.empty()) return Fail("no frei0r folder: give --lib or set HOME");
  const fs::path bundle = lib.parent_path() / "lumatrice";
  fs::create_directories(lib, ec);
  std::string error;
  if (ec) error = lib.string() + ": " + ec.message();
  if (error.empty() && InstallBundle(bin, build / "lib", bundle, error) &&
      InstallFilter(filter, lib / "lumatrice.so", error)) {
    std::printf("installed %s (and %s)\nffmpeg: -vf frei0r=filter_name=lumatrice; melt: "
                "-filter frei0r.lumatrice\n", (lib / "lumatrice.so").c_str(), bundle.c_str());
    return kExitOk;
  }
  return Fail(error);
}

}  // namespace lumatrice
