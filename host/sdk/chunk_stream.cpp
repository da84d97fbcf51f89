// Chunked scene streams over a byte vector.
#include "chunk_stream.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t kHeader = 6;  // u16 ID + u32 length

void Put(std::vector<std::uint8_t>& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t Get(const std::uint8_t* p, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint32_t(p[i]) << (8 * i);
  return v;
}
}  // namespace

void MemorySave::BeginChunk(USHORT id) {
  try {
    open_.push_back(bytes_.size());
    Put(bytes_, id, 2);
    Put(bytes_, 0, 4);  // patched by EndChunk
  } catch (...) {
    failed_ = true;
  }
}

void MemorySave::EndChunk() {
  if (open_.empty()) {
    failed_ = true;
    return;
  }
  std::size_t header = open_.back();
  open_.pop_back();
  std::size_t length = bytes_.size() - header - kHeader;
  if (length > 0xFFFFFFFFu) {
    failed_ = true;
    return;
  }
  for (int i = 0; i < 4; ++i) bytes_[header + 2 + i] = std::uint8_t(length >> (8 * i));
}

IOResult MemorySave::Write(const void* buf, ULONG nbytes, ULONG* nwritten) {
  if (nwritten) *nwritten = 0;
  if (nbytes == 0) return IO_OK;
  if (!buf) return IO_ERROR;
  try {
    auto p = static_cast<const std::uint8_t*>(buf);
    bytes_.insert(bytes_.end(), p, p + nbytes);
  } catch (...) {
    failed_ = true;
    return IO_ERROR;
  }
  if (nwritten) *nwritten = nbytes;
  return IO_OK;
}

IOResult MemorySave::WriteCString(const char* str) {
  if (!str) str = "";
  std::size_t n = std::strlen(str) + 1;
  if (n > 0xFFFFFFFFu) return IO_ERROR;
  ULONG written = 0;
  return Write(str, static_cast<ULONG>(n), &written);
}

MemoryLoad::MemoryLoad(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

MemoryLoad::MemoryLoad(const void* data, std::size_t size) {
  if (data && size) {
    auto p = static_cast<const std::uint8_t*>(data);
    bytes_.assign(p, p + size);
  }
}

IOResult MemoryLoad::OpenChunk() {
  std::size_t end = LevelEnd();
  if (pos_ == end) return IO_END;
  if (end - pos_ < kHeader) return IO_ERROR;
  USHORT id = static_cast<USHORT>(Get(&bytes_[pos_], 2));
  std::size_t length = Get(&bytes_[pos_ + 2], 4);
  if (length > end - pos_ - kHeader) return IO_ERROR;
  try {
    open_.push_back({id, pos_ + kHeader + length});
  } catch (...) {
    return IO_ERROR;
  }
  pos_ += kHeader;
  return IO_OK;
}

USHORT MemoryLoad::CurChunkID() { return open_.empty() ? 0 : open_.back().id; }

IOResult MemoryLoad::CloseChunk() {
  if (open_.empty()) return IO_ERROR;
  pos_ = open_.back().end;
  open_.pop_back();
  return IO_OK;
}

IOResult MemoryLoad::Read(void* buf, ULONG nbytes, ULONG* nread) {
  if (nread) *nread = 0;
  if (nbytes == 0) return IO_OK;
  if (!buf) return IO_ERROR;
  std::size_t n = std::min<std::size_t>(nbytes, Remaining());
  if (n) std::memcpy(buf, &bytes_[pos_], n);
  pos_ += n;
  if (nread) *nread = static_cast<ULONG>(n);
  return n == nbytes ? IO_OK : IO_ERROR;
}

IOResult MemoryLoad::ReadCStringChunk(char** buf) {
  if (!buf) return IO_ERROR;
  *buf = nullptr;
  const std::uint8_t* first = bytes_.data() + pos_;
  const std::uint8_t* last = first + Remaining();
  const std::uint8_t* zero = std::find(first, last, 0);
  if (zero == last) return IO_ERROR;
  std::size_t n = static_cast<std::size_t>(zero - first) + 1;
  try {
    texts_.push_back(std::make_unique<char[]>(n));
  } catch (...) {
    return IO_ERROR;
  }
  std::memcpy(texts_.back().get(), first, n);
  *buf = texts_.back().get();
  pos_ += n;
  return IO_OK;
}
