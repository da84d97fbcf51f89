// New files under names nobody can foresee, created by us alone: O_EXCL
// (never a name that exists), O_NOFOLLOW (never through a link), and small
// files replaced whole through one. Header-only, so the scene library
// shares it without linking the image library.
#pragma once

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace lumatrice {

// Twelve lowercase hex digits from the system's random source.
inline std::string RandomTag() {
  unsigned char bytes[6] = {};
  if (::getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes)) {
    // Without entropy the name is merely unlikely; O_EXCL still keeps a
    // planted name from being written through.
    static unsigned long counter = 0;
    const unsigned long v = (unsigned long)(::getpid()) * 2654435761u + ++counter;
    for (unsigned i = 0; i < sizeof bytes; ++i) bytes[i] = (unsigned char)(v >> (8 * i));
  }
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (unsigned char b : bytes) s += digits[b >> 4], s += digits[b & 15];
  return s;
}

// Creates `prefix` + tag + `suffix` for reading and writing, the tag random
// (the first attempt's is `first_tag` when given). The descriptor, or -1
// with errno set; `path` is the name made.
inline int CreateUniqueFile(const std::string& prefix, const std::string& suffix, mode_t mode,
                            std::string& path, const std::string& first_tag = {}) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    path = prefix;
    path += attempt == 0 && !first_tag.empty() ? first_tag : RandomTag();
    path += suffix;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Writes `bytes` to a new hidden file beside `path`, flushes it to disk and
// renames it over `path`: readers see the old file or the new one whole.
// False with `error` ("<path>: <reason>"), the old file untouched.
inline bool ReplaceFileAtomically(const std::string& path, const std::string& bytes, mode_t mode,
                                  std::string& error) {
  const std::size_t slash = path.rfind('/');
  const std::size_t at = slash == std::string::npos ? 0 : slash + 1;
  std::string temp;
  const int fd = CreateUniqueFile(path.substr(0, at) + "." + path.substr(at) + ".tmp-", "",
                                  mode, temp);
  bool ok = fd >= 0;
  std::size_t done = 0;
  while (ok && done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += std::size_t(n);
  }
  int saved = errno;
  if (ok && ::fsync(fd) != 0) ok = false, saved = errno;
  if (fd >= 0 && ::close(fd) != 0 && ok) ok = false, saved = errno;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false, saved = errno;
  if (!ok) {
    if (fd >= 0) ::unlink(temp.c_str());
    error = path + ": " + std::strerror(saved);
    return false;
  }
  // The rename is durable once the folder is.
  const std::string dir = at == 0 ? std::string(".") : path.substr(0, at);
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

}  // namespace lumatrice
