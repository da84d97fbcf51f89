// A frame file kept as its compressed blocks (EXR scanline chunks or tiles):
// a block is decoded into the frame's memory only when a row read needs it,
// and a write of the same layout copies every block a row write left
// unchanged as its stored bytes, encoding only the changed ones again.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>

#include "frame_spec.h"
#include "status.h"

namespace lumatrice {

class FrameBuffer;
class OutFile;

// A header attribute a write sets on top of the input's (the stamp marker).
struct HeaderChange {
  std::string name;   // the file format's own name
  std::string value;
};

struct SpliceCounts {
  int copied = 0;   // blocks written as their stored bytes
  int encoded = 0;  // blocks encoded again (reused ones included)
  int reused = 0;   // of those, blocks that took an equal block's bytes
};

class BlockFile {
 public:
  virtual ~BlockFile() = default;

  // The block grid: blocks_x by blocks_y blocks of block_w x block_h pixels
  // (the last row and column may be smaller).
  int blocks_x = 1, blocks_y = 1, block_w = 1, block_h = 1;
  int count() const { return blocks_x * blocks_y; }
  int BlockAt(int x, int y) const { return (y / block_h) * blocks_x + x / block_w; }

  // OpenImageIO's name of the file's format ("openexr", "tiff").
  virtual const char* format() const = 0;

  // The image description the file was read with, before any change: the
  // host's own, and the image library's once the frame has one (see
  // FrameBuffer::spec()).
  FrameSpec source;
  std::shared_ptr<const OIIO::ImageSpec> source_spec;
  // Both taken from `frame`, as it was read.
  void TakeSource(const FrameBuffer& frame);

  // Decodes block `b` into `frame`'s memory; may run on several threads at
  // once for different blocks.
  virtual bool Decode(int b, FrameBuffer& frame, std::string& error) const = 0;

  // Writes `frame` through `file`: the input's header with `header` set on
  // it, block b encoded from the frame when changed[b], else copied.
  // kCancelled once `cancel` is true, kIo when a block or write fails.
  virtual Status Splice(const FrameBuffer& frame, const std::vector<char>& changed,
                        const std::vector<HeaderChange>& header, OutFile& file,
                        const std::atomic<bool>* cancel, SpliceCounts& counts) const = 0;

  // The same file's view over `bytes` (a copy of its bytes, which must
  // outlive the result) for `frame`, a copy of the frame this one was opened
  // for; null when a copy is written whole.
  virtual std::unique_ptr<BlockFile> Reopen(const std::vector<std::byte>&,
                                            const FrameBuffer&) const {
    return nullptr;
  }

  // The whole file, for a view that holds no copy of its bytes (a file it
  // keeps open); false otherwise.
  virtual bool ReadBytes(std::vector<std::byte>&) const { return false; }

  // The header changes a write of `frame` needs, when its description
  // differs from the source only in attributes this format can set; false
  // otherwise.
  virtual bool HeaderChanges(const FrameBuffer& frame,
                             std::vector<HeaderChange>& changes) const = 0;
};

// The prefix of the host's own attributes (the stamp marker's fields), which
// formats without a place for them carry in the description instead.
inline constexpr const char* kOurPrefix = "Lumatrice:";

// The string attributes `frame` sets or changes against `file`'s source, by
// OpenImageIO's names; false when it differs in anything else (size, window,
// channels, sample types, another attribute) or lacks one of the source's.
bool ChangedTexts(const BlockFile& file, const FrameBuffer& frame,
                  std::vector<HeaderChange>& texts);

}  // namespace lumatrice
