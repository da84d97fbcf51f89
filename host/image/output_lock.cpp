// flock on a file beside the output sequence, holder recorded inside.
#include "output_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "temp_files.h"

namespace lumatrice {
namespace fs = std::filesystem;
namespace {

constexpr const char* kLockSuffix = ".lumatrice-lock";

std::string Holder(int fd) {
  char buf[300] = {};
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  std::string s = n > 0 ? std::string(buf, std::size_t(n)) : std::string();
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  const std::size_t space = s.find(' ');
  if (space == std::string::npos) return "another run";
  return "another run (host " + s.substr(0, space) + ", PID " + s.substr(space + 1) + ")";
}

}  // namespace

std::string OutputLock::PathFor(const SequencePattern& output, const std::string& span) {
  const fs::path p(output.Generic());
  std::string name(".");
  name += p.filename().string();
  if (!span.empty()) {
    name += '.';
    name += span;
  }
  name += kLockSuffix;
  return (p.parent_path() / name).string();
}

bool OutputLock::IsLockName(const std::string& file_name) {
  const std::size_t n = std::strlen(kLockSuffix);
  return file_name.size() > n + 1 && file_name[0] == '.' &&
         file_name.compare(file_name.size() - n, n, kLockSuffix) == 0;
}

OutputLock::~OutputLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool OutputLock::Acquire(const SequencePattern& output, const std::string& span, bool wait,
                         const std::atomic<bool>* cancel,
                         const std::function<void(const std::string&)>& waiting,
                         std::string& error) {
  const std::string path = PathFor(output, span);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  // Another user's lock file still locks when read-only.
  if (fd < 0 && (errno == EACCES || errno == EROFS)) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    // A folder nobody here may write to takes no frames either: the writes
    // themselves report it, naming the frame.
    if (fd < 0 && errno == ENOENT) return true;
  }
  if (fd < 0) {
    error = path + ": cannot create the output lock: " + std::strerror(errno);
    return false;
  }
  bool told = false;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      error = path + ": cannot lock the output: " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    const std::string busy =
        "output " + output.text() + " is being written by " + Holder(fd);
    if (!wait) {
      error = busy + "; two runs would mix their frames (--wait-lock waits for it)";
      ::close(fd);
      return false;
    }
    if (!told && waiting) waiting("lumatrice: waiting: " + busy);
    told = true;
    if (cancel && cancel->load()) {
      error = "cancelled";
      ::close(fd);
      return false;
    }
    // flock would restart after the signal handler; polling keeps Ctrl-C live.
    const timespec pause{0, 50 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  const std::string me = TemporaryHostTag() + " " + std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, me.data(), me.size(), 0) != ssize_t(me.size())) {
    // The lock holds without the note; only the refusal's wording suffers.
  }
  fd_ = fd;
  return true;
}

}  // namespace lumatrice
