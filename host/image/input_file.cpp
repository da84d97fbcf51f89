// InputFile: the descriptor, the addresses that name its bytes and the bytes
// kept from its start.
#include "input_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace lumatrice {
namespace {

// Enough for a render's header, whose attributes are walked a few bytes at
// a time.
constexpr std::size_t kHeadBytes = 16 << 10;

std::size_t PreadAll(int fd, void* out, std::size_t n, std::uint64_t offset) {
  char* p = static_cast<char*>(out);
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, p + done, n - done, off_t(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += std::size_t(r);
  }
  return done;
}

}  // namespace

std::shared_ptr<const InputFile> InputFile::Open(const std::string& path, std::string& why) {
  std::shared_ptr<InputFile> file(new InputFile);
  struct stat st {};
  // Links are followed, as every reader of a frame follows them: the file is
  // only read.
  file->fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file->fd_ < 0 || ::fstat(file->fd_, &st) != 0) return why = std::strerror(errno), nullptr;
  // The name was checked before; what was opened may be another file.
  if (!S_ISREG(st.st_mode)) return why = "is not a regular file", nullptr;
  if (std::uint64_t(st.st_size) > std::numeric_limits<std::size_t>::max() / 2)
    return why = "is too large", nullptr;
  file->size_ = std::uint64_t(st.st_size);
  const std::size_t size = std::size_t(file->size_);
  if (size > 0) {
    void* names = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                         -1, 0);
    if (names == MAP_FAILED) return why = std::strerror(errno), nullptr;
    file->names_ = static_cast<std::byte*>(names);
  }
  file->head_.resize(std::min(size, kHeadBytes));
  if (PreadAll(file->fd_, file->head_.data(), file->head_.size(), 0) != file->head_.size())
    return why = "has shrunk while being read", nullptr;
  return file;
}

InputFile::~InputFile() {
  if (names_) ::munmap(names_, std::size_t(size_));
  if (fd_ >= 0) ::close(fd_);
}

bool InputFile::Holds(const void* p, std::size_t n, std::uint64_t& offset) const {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  const auto base = reinterpret_cast<std::uintptr_t>(names_);
  if (!names_ || at < base || at - base > size_ || n > size_ - (at - base)) return false;
  offset = at - base;
  return true;
}

std::size_t InputFile::ReadAt(std::uint64_t offset, void* out, std::size_t n) const {
  if (offset >= size_) return 0;
  n = std::size_t(std::min<std::uint64_t>(n, size_ - offset));
  if (offset + n <= head_.size()) {
    std::memcpy(out, head_.data() + offset, n);
    return n;
  }
  const std::size_t got = PreadAll(fd_, out, n, offset);
  if (got < n) NoteShort();
  return got;
}

bool InputFile::ReadAll(std::vector<std::byte>& out) const {
  out.resize(std::size_t(size_));
  return ReadAt(0, out.data(), out.size()) == out.size();
}

}  // namespace lumatrice
