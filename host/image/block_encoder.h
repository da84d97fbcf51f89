// The changed blocks of a spliced write, encoded on the cores other writes
// leave free and handed to the file in block order; a changed block whose
// pixels equal an earlier changed block's (the slate's flat grey) takes that
// block's bytes instead of being encoded again.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "block_file.h"
#include "status.h"

namespace lumatrice {

class FrameBuffer;

using BlockBytes = std::vector<std::byte>;

// Workers a write uses at most; per-worker state is indexed below it.
inline constexpr int kMaxEncodeWorkers = 8;

// Caps the workers of every later write (0: the cores free at its start,
// counting the other writes under way; 1: the writing thread alone).
void SetBlockEncodeThreads(int threads);

struct BlockCoder {
  // Codes block b into `out` on worker `worker` (0 .. kMaxEncodeWorkers-1,
  // one thread at a time each); false with `error`.
  std::function<bool(int worker, int b, BlockBytes& out, std::string& error)> encode;
  // Writes block b, its stored bytes when `coded` is null; on the calling
  // thread, in increasing b.
  std::function<bool(int b, const BlockBytes* coded, std::string& error)> write;
};

// Block b's pixels in the frame: first column and row, width and rows.
void BlockExtent(const BlockFile& file, const FrameBuffer& frame, int b, int& x, int& y, int& w,
                 int& h);

// For each changed block, the first changed block of equal extent and
// pixels (itself when none before it); -1 for unchanged blocks.
std::vector<int> PixelTwins(const BlockFile& file, const FrameBuffer& frame,
                            const std::vector<char>& changed);

// Writes every block of `file` through `coder`: unchanged ones as stored,
// changed ones coded on up to the free cores, at most a few ahead of the
// writer (memory stays a few blocks'), twins coded once. kIo with the
// coder's reason, or kCancelled when `cancel` became true.
Status WriteBlocksInOrder(const BlockFile& file, const FrameBuffer& frame,
                          const std::vector<char>& changed, const BlockCoder& coder,
                          const std::atomic<bool>* cancel, SpliceCounts& counts);

}  // namespace lumatrice
