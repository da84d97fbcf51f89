// A frame file held open for a lazy read: read piecewise with pread (its
// first bytes kept, so header walks cost no system call each), with a run of
// addresses standing for its bytes, so that a write can name a stretch of
// the file by address and have the kernel copy it from this descriptor
// (OutFile::CopyFrom) without the bytes passing through the process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumatrice {

class InputFile {
 public:
  // Opens `path` (a regular file, checked again on the descriptor). Null
  // with `why`.
  static std::shared_ptr<const InputFile> Open(const std::string& path, std::string& why);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  int fd() const { return fd_; }
  // The size when opened; reads end there.
  std::uint64_t size() const { return size_; }
  // The address that stands for byte `offset`. Nothing is there to read: the
  // range is reserved, never backed, so the file's bytes reach the process
  // only through ReadAt, where a file that shrank is a short read and not a
  // fault.
  const void* Name(std::uint64_t offset) const { return names_ + offset; }
  // Whether [p, p + n) are names of this file's bytes; `offset` is where p
  // stands.
  bool Holds(const void* p, std::size_t n, std::uint64_t& offset) const;

  // Reads up to `n` bytes at `offset`; how many it read (fewer past the
  // end, or when the file has shrunk since it was opened).
  std::size_t ReadAt(std::uint64_t offset, void* out, std::size_t n) const;
  // The whole file, through ReadAt; false when it is shorter than size().
  bool ReadAll(std::vector<std::byte>& out) const;
  // Records a read or copy that ended before size(); whether one did.
  void NoteShort() const { shrank_.store(true, std::memory_order_relaxed); }
  bool Shrank() const { return shrank_.load(std::memory_order_relaxed); }

 private:
  InputFile() = default;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::byte* names_ = nullptr;
  std::vector<std::byte> head_;  // the first bytes
  mutable std::atomic<bool> shrank_{false};
};

}  // namespace lumatrice
