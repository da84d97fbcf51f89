// In-memory chunk streams for scene files. A chunk is a little-endian u16 ID,
// a u32 payload length and the payload, which may hold nested chunks.
// The loader checks every length against its enclosing chunk and the data it
// holds, so malformed bytes give IO_ERROR and never a read outside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "sdk_reference.h"

// The chunk SpecialFX::Save writes its name in.
constexpr USHORT kSpecialFXNameChunk = 0x0100;

class MemorySave : public ISave {
 public:
  void BeginChunk(USHORT id) override;
  void EndChunk() override;  // ignored (and Complete() turns false) when none is open
  IOResult Write(const void* buf, ULONG nbytes, ULONG* nwritten) override;
  // The text and its terminating zero; null writes "".
  IOResult WriteCString(const char* str) override;

  // True when every chunk is closed and no call failed.
  bool Complete() const { return open_.empty() && !failed_; }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> open_;  // header offsets of the open chunks
  bool failed_ = false;
};

class MemoryLoad : public ILoad {
 public:
  explicit MemoryLoad(std::vector<std::uint8_t> bytes);
  MemoryLoad(const void* data, std::size_t size);

  IOResult OpenChunk() override;
  USHORT CurChunkID() override;  // 0 outside any chunk
  IOResult CloseChunk() override;
  // Short reads copy what is left in the chunk, report it and give IO_ERROR.
  IOResult Read(void* buf, ULONG nbytes, ULONG* nread) override;
  // Reads a zero-terminated text from the current position; IO_ERROR when the
  // chunk holds no terminator.
  IOResult ReadCStringChunk(char** buf) override;

  // Unread bytes of the current chunk (of the whole stream at top level).
  std::size_t Remaining() const { return LevelEnd() - pos_; }

 private:
  struct Open {
    USHORT id;
    std::size_t end;
  };
  std::size_t LevelEnd() const { return open_.empty() ? bytes_.size() : open_.back().end; }

  std::vector<std::uint8_t> bytes_;
  std::size_t pos_ = 0;
  std::vector<Open> open_;
  std::vector<std::unique_ptr<char[]>> texts_;  // alive until the loader dies
};
