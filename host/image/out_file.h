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

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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
  // Copies `size` bytes of the file open as `in`, from `in_offset`, to
  // `offset`: in the kernel (copy_file_range) where it can, else through a
  // buffer. Fewer when the input ends early, which is no failure of this
  // file's.
  std::size_t CopyFrom(int in, std::int64_t in_offset, std::size_t size, std::int64_t offset) {
    if (fd_ < 0) return Fail(EBADF), 0;
    std::size_t done = 0;
    while (done < size && !no_copy_range_) {
      loff_t from = in_offset + std::int64_t(done), to = offset + std::int64_t(done);
      const ssize_t n = ::copy_file_range(in, &from, fd_, &to, size - done, 0);
      if (n > 0) {
        done += std::size_t(n);
      } else if (n == 0) {
        return done;
      } else if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
        no_copy_range_ = true;  // another file system, or an old kernel
      } else if (errno != EINTR) {
        Fail(errno);
        return done;
      }
    }
    constexpr std::size_t kCopyBytes = 1 << 20;
    if (done < size) copy_buffer_.resize(std::min(size - done, kCopyBytes));
    while (done < size) {
      const std::size_t want = std::min(size - done, copy_buffer_.size());
      ssize_t n = ::pread(in, copy_buffer_.data(), want, off_t(in_offset + std::int64_t(done)));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(errno), done;
      if (n == 0) return done;
      const std::size_t wrote = pwrite(copy_buffer_.data(), std::size_t(n),
                                       offset + std::int64_t(done));
      done += wrote;
      if (wrote < std::size_t(n)) return done;
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
  bool no_copy_range_ = false;
  std::vector<char> copy_buffer_;
  std::int64_t pos_ = 0;
  std::string path_;
  std::string failure_;
};

}  // namespace lumatrice
