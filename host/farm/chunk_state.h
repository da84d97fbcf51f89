// What became of each chunk: the record its task wrote when it ended,
// else what the workload manager says, else unknown.
#pragma once

#include <string>
#include <vector>

#include "plan.h"
#include "slurm.h"

namespace lumatrice::farm {

enum class ChunkState { kPending, kRunning, kDone, kFailed, kCancelled, kUnknown };
const char* ChunkStateName(ChunkState s);

struct ChunkStatus {
  ChunkState state = ChunkState::kUnknown;
  std::string node;
  double seconds = -1;
  std::string error;  // why it failed
};

struct JobStatus {
  std::vector<ChunkStatus> chunks;
  std::string report_state;  // the report job's Slurm state, "" when unknown
  std::string report_reason;
  int Count(ChunkState s) const;
  bool ChunksActive() const;  // some chunk may still finish
};

// One chunk's state from its record and its Slurm task (null when Slurm does
// not list it; `array_known` when Slurm lists other tasks of its array).
ChunkStatus ChunkStatusOf(const Plan& plan, const Chunk& chunk, const SlurmTask* task,
                          bool array_known);

Status QueryJob(Slurm& slurm, const Plan& plan, JobStatus& status);

// "2 done, 1 running, 0 failed, 1 pending" (failed counts cancelled and unknown).
std::string ProgressLine(const JobStatus& status);

// The chunk's end as its task recorded it.
bool ReadChunkRecord(const Plan& plan, const Chunk& chunk, ChunkStatus& status);

}  // namespace lumatrice::farm
