// CheckedFile: positioned reads and writes on one descriptor, first error kept.
#include "checked_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lumatrice {

CheckedFile::CheckedFile(int fd, const std::string& path) : IOProxy(path, Write) {
  fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (fd_ < 0) {
    Fail(errno);
    m_mode = Closed;
  }
}

CheckedFile::~CheckedFile() { close(); }

void CheckedFile::Fail(int err) {
  if (failure_.empty()) failure_ = std::strerror(err);
}

void CheckedFile::close() {
  if (fd_ < 0) return;
  // Network file systems may report a full disk only here.
  if (::close(fd_) != 0) Fail(errno);
  fd_ = -1;
  m_mode = Closed;
}

bool CheckedFile::Finish() {
  close();
  return failure_.empty();
}

size_t CheckedFile::pwrite(const void* buf, size_t size, int64_t offset) {
  if (fd_ < 0) {
    Fail(EBADF);
    return 0;
  }
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd_, p + done, size - done, offset + int64_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail(n < 0 ? errno : ENOSPC);
      break;
    }
    done += size_t(n);
  }
  return done;
}

size_t CheckedFile::write(const void* buf, size_t size) {
  const size_t n = pwrite(buf, size, m_pos);
  m_pos += int64_t(n);
  return n;
}

size_t CheckedFile::pread(void* buf, size_t size, int64_t offset) {
  if (fd_ < 0) return 0;
  char* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd_, p + done, size - done, offset + int64_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  return done;
}

size_t CheckedFile::read(void* buf, size_t size) {
  const size_t n = pread(buf, size, m_pos);
  m_pos += int64_t(n);
  return n;
}

size_t CheckedFile::size() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
  return size_t(st.st_size);
}

}  // namespace lumatrice
