// A written file that remembers every failed write. Encoders in libpng,
// OpenEXR and others drop the result of their output callback, so a full
// disk would otherwise pass as a finished frame; this keeps the first error
// for the caller to ask after the writer has finished. Inline, so that both
// the host and liblumatrice_oiio.so (CheckedFile) hold it without either
// reaching into the other.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace lumatrice {

class OutFile {
 public:
  // Writes through a descriptor of its own onto the open file `fd` (a
  // temporary file, named `path`), which stays open for its caller.
  OutFile(int fd, std::string path) : path_(std::move(path)) {
    fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (fd_ < 0) Fail(errno);
  }
  ~OutFile() { Close(); }
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;

  bool opened() const { return fd_ >= 0; }
  const std::string& filename() const { return path_; }

  std::size_t pwrite(const void* buf, std::size_t size, std::int64_t offset) {
    if (fd_ < 0) return Fail(EBADF), 0;
    const char* p = static_cast<const char*>(buf);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(fd_, p + done, size - done, off_t(offset + std::int64_t(done)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        Fail(n < 0 ? errno : ENOSPC);
        break;
      }
      done += std::size_t(n);
    }
    return done;
  }
  std::size_t pread(void* buf, std::size_t size, std::int64_t offset) const {
    if (fd_ < 0) return 0;
    char* p = static_cast<char*>(buf);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pread(fd_, p + done, size - done, off_t(offset + std::int64_t(done)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += std::size_t(n);
    }
    return done;
  }
  // At the end of what write() wrote before.
  std::size_t write(const void* buf, std::size_t size) {
    const std::size_t n = pwrite(buf, size, pos_);
    pos_ += std::int64_t(n);
    return n;
  }
  std::size_t read(void* buf, std::size_t size) {
    const std::size_t n = pread(buf, size, pos_);
    pos_ += std::int64_t(n);
    return n;
  }
  std::int64_t& position() { return pos_; }
  std::size_t size() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
    return std::size_t(st.st_size);
  }

  void Close() {
    if (fd_ < 0) return;
    // Network file systems may report a full disk only here.
    if (::close(fd_) != 0) Fail(errno);
    fd_ = -1;
  }
  // Closes the file (if still open) and tells whether every write and the
  // close itself succeeded.
  bool Finish() {
    Close();
    return failure_.empty();
  }
  // The first failure, as the system words it; empty while all is well.
  const std::string& Failure() const { return failure_; }

 private:
  void Fail(int err) {
    if (failure_.empty()) failure_ = std::strerror(err);
  }
  int fd_ = -1;
  std::int64_t pos_ = 0;
  std::string path_;
  std::string failure_;
};

}  // namespace lumatrice
