// The advisory lock a run holds on its output sequence, so that two runs
// never interleave their frames in one output. It is an flock on a hidden
// file beside the outputs (".f.#.exr.lumatrice-lock" for "f.#.exr"), which
// the kernel releases when the process ends however it ends; the file
// itself stays and records the holder's host and PID for the refusal.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "sequence.h"

namespace lumatrice {

class OutputLock {
 public:
  OutputLock() = default;
  ~OutputLock();
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;

  // The lock file of `output`: every spelling of one sequence ("f.#.exr",
  // "f.%04d.exr", "f.@.exr") shares it; other sequences do not.
  // `span` ("1-100") names the frames, so farm chunks of one sequence
  // (different spans) run side by side.
  static std::string PathFor(const SequencePattern& output, const std::string& span = "");
  static bool IsLockName(const std::string& file_name);

  // Takes the lock. When another process holds it: without `wait`, false at
  // once with `error` naming its host and PID; with `wait`, `waiting` is
  // called once with that message and the lock is taken when free, unless
  // `cancel` becomes true first (false, error "cancelled").
  bool Acquire(const SequencePattern& output, const std::string& span, bool wait, const std::atomic<bool>* cancel,
               const std::function<void(const std::string&)>& waiting, std::string& error);

 private:
  int fd_ = -1;
};

}  // namespace lumatrice
