// The advisory lock a run holds on the frames it writes, so that no two runs
// ever write the same frame of one output. One hidden file per sequence
// (".f.#.exr.lumatrice-lock" for "f.#.exr") carries a byte-range lock
// (fcntl, open file description) for every frame a run writes: runs of
// disjoint frames (the chunks of a farm job) go side by side, runs sharing
// even one frame do not. The kernel releases the locks when the process
// ends however it ends; each holder's host, PID and frames are noted in the
// file for the refusal.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "sequence.h"
#include "status.h"

namespace lumatrice {

class OutputLock {
 public:
  OutputLock() = default;
  ~OutputLock();
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;

  // The lock file of `output`: every spelling of one sequence ("f.#.exr",
  // "f.%04d.exr", "f.@.exr") shares it; other sequences do not.
  static std::string PathFor(const SequencePattern& output);
  static bool IsLockName(const std::string& file_name);

  // Locks `frames` of `output` (every frame of a single-file output). When
  // another process holds any of them: without `wait`, kBusy at once naming
  // the frames and their holder's host and PID; with `wait`, `waiting` is
  // called once with that message and the frames are taken when free,
  // unless `cancel` becomes true first (kCancelled). A lock file that is a
  // link, not a regular file, or has another name (a hard link) is refused,
  // never written (kIo).
  Status Acquire(const SequencePattern& output, const std::vector<int>& frames, bool wait,
                 const std::atomic<bool>* cancel,
                 const std::function<void(const std::string&)>& waiting);

 private:
  int fd_ = -1;
};

}  // namespace lumatrice
