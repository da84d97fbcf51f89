// Per-frame byte-range locks in one file beside the output sequence.
//
// The file's bytes: offset 0 is a gate a run holds while it takes its
// frames, so two runs never each take half of the other's; then one note
// slot per live holder ("host pid frames"), locked by its writer; frame f
// is the byte at kFrameBase + f - INT32_MIN, far past any data.
#include "output_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

#include "temp_files.h"

namespace lumatrice {
namespace fs = std::filesystem;
namespace {

constexpr const char* kLockSuffix = ".lumatrice-lock";
constexpr off_t kSlotBase = 4096, kSlotSize = 256;
constexpr int kSlots = 256;
constexpr off_t kFrameBase = off_t(1) << 32;
constexpr std::size_t kMaxPieces = 4096;

using Range = std::pair<long long, long long>;  // first and last frame

off_t FrameOffset(long long f) { return kFrameBase + off_t(f - INT32_MIN); }

bool Lock(int fd, short type, off_t start, off_t len, bool block = false) {
  struct flock l {};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = start;
  l.l_len = len;
  for (;;) {
    if (::fcntl(fd, block ? F_OFD_SETLKW : F_OFD_SETLK, &l) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool LockFrames(int fd, short type, const Range& r) {
  return Lock(fd, type, FrameOffset(r.first), off_t(r.second - r.first + 1));
}

// The first lock another holder has in [start, start + len), as frames.
bool Conflict(int fd, off_t start, off_t len, off_t& first, off_t& last) {
  struct flock l {};
  l.l_type = F_WRLCK;
  l.l_whence = SEEK_SET;
  l.l_start = start;
  l.l_len = len;
  if (::fcntl(fd, F_OFD_GETLK, &l) != 0 || l.l_type == F_UNLCK) return false;
  first = std::max(start, l.l_start);
  last = l.l_len == 0 ? start + len - 1 : std::min(start + len, l.l_start + l.l_len) - 1;
  return true;
}

std::vector<Range> Ranges(std::vector<int> frames) {
  std::sort(frames.begin(), frames.end());
  std::vector<Range> out;
  for (int f : frames) {
    if (!out.empty() && f <= out.back().second + 1)
      out.back().second = std::max<long long>(out.back().second, f);
    else
      out.push_back({f, f});
  }
  return out;
}

std::string Describe(const std::vector<Range>& ranges, bool brief = false) {
  std::string s;
  long long count = 0;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    count += ranges[i].second - ranges[i].first + 1;
    if (i == 5 && brief) {
      s += ", ...";
      break;
    }
    // Appended piece by piece: GCC 12 misreads "-" + string as an overlapping copy.
    if (i) s += brief ? ", " : ",";
    s += std::to_string(ranges[i].first);
    if (ranges[i].second != ranges[i].first) {
      s += '-';
      s += std::to_string(ranges[i].second);
    }
  }
  if (!brief) return s;
  return (count == 1 ? "frame " : "frames ") + s;
}

// The frames of `mine` that others hold.
std::vector<Range> Taken(int fd, const std::vector<Range>& mine) {
  std::vector<Range> taken;
  for (const Range& r : mine) {
    off_t at = FrameOffset(r.first);
    const off_t end = FrameOffset(r.second) + 1;
    off_t first = 0, last = 0;
    while (at < end && taken.size() < 64 && Conflict(fd, at, end - at, first, last)) {
      taken.push_back({first - FrameOffset(0), last - FrameOffset(0)});
      at = last + 1;
    }
  }
  return taken;
}

bool Overlaps(const std::vector<Range>& a, const std::vector<Range>& b) {
  for (const Range& x : a)
    for (const Range& y : b)
      if (x.first <= y.second && y.first <= x.second) return true;
  return false;
}

// "another run (host node7, PID 42, frames 1-20)" for the live holders of
// `taken`, from their notes.
std::string Holders(int fd, const std::vector<Range>& taken) {
  std::string found;
  int named = 0;
  for (int s = 0; s < kSlots && named < 3; ++s) {
    off_t first = 0, last = 0;
    const off_t at = kSlotBase + s * kSlotSize;
    if (!Conflict(fd, at, kSlotSize, first, last)) continue;
    char buf[kSlotSize + 1] = {};
    if (::pread(fd, buf, kSlotSize, at) <= 0) continue;
    char host[kSlotSize] = {}, frames[kSlotSize] = {};
    long pid = 0;
    if (std::sscanf(buf, "%255s %ld %255s", host, &pid, frames) != 3) continue;
    std::vector<Range> held;
    for (const char* p = frames; *p;) {
      long long a = 0, b = 0;
      int n = 0;
      if (std::sscanf(p, "%lld%n-%lld%n", &a, &n, &b, &n) == 1) b = a;
      if (n == 0) break;
      held.push_back({a, b});
      p += n + (p[n] == ',' ? 1 : 0);
    }
    if (!Overlaps(held, taken)) continue;
    // A single-file output's holder holds every frame: no list then.
    const bool all = held.size() == 1 && held[0] == Range{INT32_MIN, INT32_MAX};
    found += std::string(named++ ? "; " : "") + "host " + host + ", PID " + std::to_string(pid) +
             (all ? "" : ", " + Describe(held, true));
  }
  return found.empty() ? "another run" : "another run (" + found + ")";
}

// Why an existing lock file is not one to write into; empty when it is.
std::string Unfit(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "the lock file is a symbolic link";
  if (!S_ISREG(st.st_mode)) return "the lock file is not a regular file";
  if (st.st_nlink != 1) return "the lock file has other names (a hard link)";
  return {};
}

// Opens the lock file at `path`, creating it when missing. -1 with `error`
// set, or -1 with `error` empty when the folder takes no files at all.
int OpenLockFile(const std::string& path, std::string& error) {
  const std::string refused = path + ": cannot lock the output: ";
  const std::string kept = "; it is left as it is (remove it if no run of yours made it)";
  for (int attempt = 0; attempt < 4; ++attempt) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
      if (const std::string why = Unfit(st); !why.empty()) {
        error = refused + why + kept;
        return -1;
      }
      const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0 && errno == ENOENT) continue;
      if (fd < 0) {
        error = refused + std::strerror(errno) +
                (errno == EACCES ? " (the lock file is not writable by you)" : "");
        return -1;
      }
      struct stat now {};
      if (::fstat(fd, &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev &&
          Unfit(now).empty())
        return fd;
      ::close(fd);
      continue;  // replaced between the look and the open: look again
    }
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      // Whoever may write frames into the folder may lock them.
      struct stat dir {};
      const fs::path parent = fs::path(path).parent_path();
      if (::stat(parent.empty() ? "." : parent.c_str(), &dir) == 0)
        ::fchmod(fd, 0644 | (dir.st_mode & (S_IWGRP | S_IWOTH)));
      return fd;
    }
    if (errno == EEXIST) continue;
    // A folder nobody here may write to takes no frames either: the writes
    // themselves report it, naming the frame.
    if (errno == EACCES || errno == EROFS) return -1;
    error = path + ": cannot create the output lock: " + std::strerror(errno);
    return -1;
  }
  error = refused + "the lock file keeps changing";
  return -1;
}

// Takes every range, or none: false with `taken` set when another holds one.
bool TakeAll(int fd, const std::vector<Range>& mine, std::vector<Range>& taken,
             std::string& error) {
  if (!Lock(fd, F_WRLCK, 0, 1, true)) {
    error = std::string("cannot lock the output: ") + std::strerror(errno);
    return false;
  }
  std::size_t got = 0;
  while (got < mine.size() && LockFrames(fd, F_WRLCK, mine[got])) ++got;
  const int err = errno;
  if (got < mine.size()) {
    for (std::size_t i = 0; i < got; ++i) LockFrames(fd, F_UNLCK, mine[i]);
    if (err == EAGAIN || err == EACCES) taken = Taken(fd, mine);
    else error = std::string("cannot lock the output: ") + std::strerror(err);
  } else {
    // The note says who holds these frames; without a free slot, no note.
    const std::string note = TemporaryHostTag() + " " + std::to_string(::getpid()) + " " +
                             Describe(mine) + "\n";
    for (int s = 0; s < kSlots; ++s) {
      const off_t at = kSlotBase + s * kSlotSize;
      if (!Lock(fd, F_WRLCK, at, kSlotSize)) continue;
      char buf[kSlotSize] = {};
      std::memcpy(buf, note.data(), std::min<std::size_t>(note.size(), kSlotSize - 1));
      if (::pwrite(fd, buf, kSlotSize, at) != kSlotSize) {
        // The frames are locked without it; only a refusal's wording suffers.
      }
      break;
    }
  }
  Lock(fd, F_UNLCK, 0, 1);
  return got == mine.size();
}

}  // namespace

std::string OutputLock::PathFor(const SequencePattern& output) {
  const fs::path p(output.Generic());
  std::string name(".");
  name += p.filename().string();
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

Status OutputLock::Acquire(const SequencePattern& output, const std::vector<int>& frames,
                           bool wait, const std::atomic<bool>* cancel,
                           const std::function<void(const std::string&)>& waiting) {
  const std::string path = PathFor(output);
  std::string error;
  const int fd = OpenLockFile(path, error);
  if (fd < 0) return error.empty() ? Status::Ok() : Status(StatusKind::kIo, error);
  // One file for every frame: all of them, whichever frames are asked.
  std::vector<Range> mine =
      output.has_placeholder() ? Ranges(frames) : std::vector<Range>{{INT32_MIN, INT32_MAX}};
  // The kernel keeps a file's locks in a list: past a few thousand pieces
  // (a long stepped range) the run locks its whole span instead, which may
  // keep out a run of frames in between, never admit one of its own.
  if (mine.size() > kMaxPieces) mine = {{mine.front().first, mine.back().second}};
  bool told = false;
  for (;;) {
    std::vector<Range> taken;
    if (TakeAll(fd, mine, taken, error)) break;
    if (!error.empty()) {
      ::close(fd);
      return {StatusKind::kIo, path + ": " + error};
    }
    std::string busy = "output " + output.text() + " is being written by " + Holders(fd, taken);
    if (output.has_placeholder() && !taken.empty()) {
      const std::string both = Describe(taken, true);
      busy += ": " + both + (both.rfind("frames", 0) == 0 ? " are" : " is") + " in both runs";
    }
    if (!wait) {
      ::close(fd);
      return {StatusKind::kBusy,
              busy + "; two runs would write the same frames (--wait-lock waits for it)"};
    }
    if (!told && waiting) waiting("lumatrice: waiting: " + busy);
    told = true;
    if (cancel && cancel->load()) {
      ::close(fd);
      return Status::Cancelled();
    }
    // Polled, so Ctrl-C stays live.
    const timespec pause{0, 50 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  fd_ = fd;
  return Status::Ok();
}

}  // namespace lumatrice
