// Temporary files created exclusively and locked, and the sweep of those left.
#include "temp_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string_view>

#include "unique_file.h"
#include "write_hooks.h"

namespace lumatrice {
namespace fs = std::filesystem;
namespace {

constexpr const char* kTempTag = ".lumatrice-tmp-";
constexpr std::size_t kNonceDigits = 12;

bool AllOf(std::string_view s, std::size_t from, std::size_t to, int (*is)(int)) {
  if (from >= to) return false;
  for (std::size_t i = from; i < to; ++i)
    if (!is(static_cast<unsigned char>(s[i]))) return false;
  return true;
}
int IsLowerHex(int c) { return std::isdigit(c) || (c >= 'a' && c <= 'f'); }

struct TempName {
  std::string target;  // file name of the frame it was to become
  std::string host;
};

// ".<stem>.lumatrice-tmp-<host>-<pid>-<nonce><ext>"; host tags hold no '.'.
bool Split(const std::string& name, TempName& t) {
  if (name.empty() || name[0] != '.') return false;
  const std::size_t tag = name.rfind(kTempTag);
  if (tag == std::string::npos || tag <= 1) return false;
  const std::string rest = name.substr(tag + std::strlen(kTempTag));
  const std::size_t ext = std::min(rest.find('.'), rest.size());
  if (ext < kNonceDigits + 4 || rest[ext - kNonceDigits - 1] != '-') return false;
  const std::size_t nonce = ext - kNonceDigits;
  if (!AllOf(rest, nonce, ext, IsLowerHex)) return false;
  const std::size_t dash = rest.rfind('-', nonce - 2);
  if (dash == std::string::npos || dash == 0 || !AllOf(rest, dash + 1, nonce - 1, ::isdigit))
    return false;
  t.host = rest.substr(0, dash);
  t.target = name.substr(1, tag - 1) + rest.substr(ext);
  return true;
}

// The random part of the first name tried: random unless a test fixes it.
std::string FirstNonce() {
  const std::string fixed = write_hooks::temp_nonce ? write_hooks::temp_nonce() : "";
  if (fixed.size() == kNonceDigits && AllOf(fixed, 0, kNonceDigits, IsLowerHex)) return fixed;
  return {};
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes `path` when it is a regular file no one holds the lock of.
bool RemoveIfUnheld(const fs::path& path) {
  struct stat held {}, named {};
  // Opening a device may act on it: only what is a regular file is opened.
  if (::lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return false;
  // NFS takes an exclusive flock only on a file open for writing.
  int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // A writer locks its file before its first byte: holding the lock of a
  // file with bytes in it proves its writer gone. An empty one may be a
  // writer's between its create and its lock, and stays. Holding the lock,
  // the name is checked again: a writer that renamed the file away in
  // between no longer names it. A file with other names is none of ours.
  const bool ours = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
                    S_ISREG(held.st_mode) && held.st_nlink == 1 && held.st_size > 0 &&
                    ::lstat(path.c_str(), &named) == 0 && SameFile(held, named) &&
                    ::unlink(path.c_str()) == 0;
  ::close(fd);
  return ours;
}

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

bool IsTemporaryName(const std::string& name) {
  TempName t;
  return Split(name, t);
}

TemporaryFile::~TemporaryFile() { Remove(); }

Status TemporaryFile::Create(const std::string& target) {
  Remove();
  const fs::path p(target);
  // Appended piece by piece: GCC 12 misreads "." + string as an overlapping copy.
  std::string name(".");
  name += p.stem().string();
  name += kTempTag;
  name += TemporaryHostTag();
  name += '-';
  name += std::to_string(::getpid());
  name += '-';
  std::string path;
  const int fd = CreateUniqueFile((p.parent_path() / name).string(), p.extension().string(),
                                  0666, path, FirstNonce());
  struct stat st {};
  // Only a sweep can hold a fresh file's lock, and only for a moment: it
  // leaves an empty file be.
  int locked = fd < 0 ? -1 : ::flock(fd, LOCK_EX);
  while (locked != 0 && fd >= 0 && errno == EINTR) locked = ::flock(fd, LOCK_EX);
  if (fd < 0 || locked != 0 || ::fstat(fd, &st) != 0) {
    Status error(StatusKind::kIo,
                 target + ": cannot create a temporary file beside it: " + std::strerror(errno));
    if (fd >= 0) ::unlink(path.c_str()), ::close(fd);
    return error;
  }
  fd_ = fd;
  path_ = path;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return Status::Ok();
}

std::string TemporaryFile::FdPath() const {
  if (fd_ < 0) return {};
  const std::string path = "/proc/self/fd/" + std::to_string(fd_);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_) return {};
  return path;
}

bool TemporaryFile::StillNamed() const {
  struct stat st {};
  return fd_ >= 0 && ::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

Status TemporaryFile::RenameTo(const std::string& target) {
  if (!StillNamed()) {
    Status error(StatusKind::kIo,
                 target + ": its temporary file " + path_ + " was replaced or removed meanwhile");
    Remove();
    return error;
  }
  if (::rename(path_.c_str(), target.c_str()) != 0) {
    Status error(StatusKind::kIo, target + ": " + std::strerror(errno));
    Remove();
    return error;
  }
  // The file is the target now; the lock goes when the descriptor does.
  ::close(fd_);
  fd_ = -1;
  path_.clear();
  return Status::Ok();
}

void TemporaryFile::Remove() {
  if (fd_ < 0) return;
  if (StillNamed()) ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
  path_.clear();
}

int SweepStaleTemporaries(const std::string& folder, const std::vector<std::string>& targets) {
  const std::set<std::string> own(targets.begin(), targets.end());
  int removed = 0;
  std::error_code ec;
  fs::directory_iterator it(folder.empty() ? "." : folder, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    TempName t;
    if (!Split(it->path().filename().string(), t) || t.host != TemporaryHostTag() ||
        !own.count(t.target))
      continue;
    if (RemoveIfUnheld(it->path())) ++removed;
  }
  return removed;
}

}  // namespace lumatrice
