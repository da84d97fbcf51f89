// Temporary names with host and PID, and the sweep of those left behind.
#include "temp_files.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

namespace lumatrice {
namespace fs = std::filesystem;
namespace {

constexpr const char* kTempTag = ".lumatrice-tmp-";

struct TempName {
  std::string target;  // file name of the frame it was to become
  std::string host;
  long pid = 0;
};

// ".<stem>.lumatrice-tmp-<host>-<pid><ext>"; host tags hold no '.'.
bool Split(const std::string& name, TempName& t) {
  if (name.empty() || name[0] != '.') return false;
  const std::size_t tag = name.rfind(kTempTag);
  if (tag == std::string::npos || tag == 0) return false;
  const std::string rest = name.substr(tag + std::strlen(kTempTag));
  const std::size_t ext = rest.find('.');
  const std::string who = rest.substr(0, ext);
  const std::size_t dash = who.rfind('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == who.size()) return false;
  for (std::size_t i = dash + 1; i < who.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(who[i]))) return false;
  t.host = who.substr(0, dash);
  t.pid = std::strtol(who.c_str() + dash + 1, nullptr, 10);
  t.target = name.substr(1, tag - 1) + (ext == std::string::npos ? "" : rest.substr(ext));
  return t.pid > 0;
}

bool Running(long pid) { return ::kill(pid_t(pid), 0) == 0 || errno == EPERM; }

}  // namespace

const std::string& TemporaryHostTag() {
  static const std::string tag = [] {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || !buf[0]) return std::string("localhost");
    std::string s(buf);
    for (char& c : s)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
    return s;
  }();
  return tag;
}

std::string TemporaryNameFor(const std::string& target) {
  const fs::path p(target);
  // Appended piece by piece: GCC 12 misreads "." + string as an overlapping copy.
  std::string name(".");
  name += p.stem().string();
  name += kTempTag;
  name += TemporaryHostTag();
  name += '-';
  name += std::to_string(::getpid());
  name += p.extension().string();
  return (p.parent_path() / name).string();
}

bool IsTemporaryName(const std::string& name) {
  TempName t;
  return Split(name, t);
}

int SweepStaleTemporaries(const std::string& folder, const std::vector<std::string>& own_targets,
                          std::time_t run_start) {
  const std::set<std::string> own(own_targets.begin(), own_targets.end());
  const long self = long(::getpid());
  int removed = 0;
  std::error_code ec;
  fs::directory_iterator it(folder.empty() ? "." : folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    TempName t;
    if (!Split(name, t) || t.host != TemporaryHostTag() || t.pid == self) continue;
    bool stale = !Running(t.pid);
    if (!stale && own.count(t.target)) {
      // A reused PID: the lock says no live run writes these targets.
      struct stat st {};
      stale = ::lstat(it->path().c_str(), &st) == 0 && st.st_mtime < run_start;
    }
    std::error_code rm;
    if (stale && fs::remove(it->path(), rm)) ++removed;
  }
  return removed;
}

}  // namespace lumatrice
