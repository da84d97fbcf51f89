// Chunk states from chunk records and squeue.
#include "chunk_state.h"

#include <algorithm>
#include <map>
#include <set>

namespace lumatrice::farm {

const char* ChunkStateName(ChunkState s) {
  switch (s) {
    case ChunkState::kPending: return "pending";
    case ChunkState::kRunning: return "running";
    case ChunkState::kDone: return "done";
    case ChunkState::kFailed: return "failed";
    case ChunkState::kCancelled: return "cancelled";
    case ChunkState::kUnknown: break;
  }
  return "unknown";
}

int JobStatus::Count(ChunkState s) const {
  int n = 0;
  for (const ChunkStatus& c : chunks) n += c.state == s;
  return n;
}

bool JobStatus::ChunksActive() const {
  return Count(ChunkState::kPending) + Count(ChunkState::kRunning) > 0;
}

std::string ProgressLine(const JobStatus& s) {
  const int failed =
      s.Count(ChunkState::kFailed) + s.Count(ChunkState::kCancelled) + s.Count(ChunkState::kUnknown);
  return std::to_string(s.Count(ChunkState::kDone)) + " done, " +
         std::to_string(s.Count(ChunkState::kRunning)) + " running, " + std::to_string(failed) +
         " failed, " + std::to_string(s.Count(ChunkState::kPending)) + " pending";
}

bool ReadChunkRecord(const Plan& plan, const Chunk& chunk, ChunkStatus& status) {
  nlohmann::json j;
  if (!ReadJsonFile(plan.ChunkRecord(chunk.index), j) || !j.is_object()) return false;
  // A record of an earlier submission of this chunk says nothing about this one.
  if (j.value("job", std::string()) != chunk.job) return false;
  const int code = j.value("status", -1);
  // Ended by Ctrl-C, SIGTERM or SIGKILL.
  const bool cancelled = code == kExitCancelled || code == 128 + 15 || code == 128 + 9;
  status.state = code == kExitOk ? ChunkState::kDone
                 : cancelled     ? ChunkState::kCancelled
                                 : ChunkState::kFailed;
  status.node = j.value("node", std::string());
  status.seconds = j.value("seconds", -1.0);
  status.error = j.value("error", std::string());
  return true;
}

namespace {

// Slurm puts a requeued task (a node failed, or `scontrol requeue`) back in
// the queue under its own id: whatever record its killed run left, it will
// run again.
bool Queued(const std::string& state) {
  return state == "PENDING" || state == "REQUEUED" || state == "REQUEUE_HOLD" ||
         state == "REQUEUE_FED";
}

std::string SlurmWhy(const SlurmTask& t) {
  return "Slurm: " + t.state +
         (t.reason.empty() || t.reason == "None" ? std::string() : " (" + t.reason + ")");
}

ChunkStatus FromSlurm(const SlurmTask& t) {
  ChunkStatus cs;
  cs.node = t.node;
  if (Queued(t.state))
    cs.state = ChunkState::kPending;
  else if (SlurmActive(t.state))
    cs.state = ChunkState::kRunning;
  else if (t.state == "CANCELLED")
    cs.state = ChunkState::kCancelled;
  else
    cs.state = ChunkState::kFailed;
  if (!SlurmActive(t.state)) cs.error = SlurmWhy(t);
  return cs;
}

}  // namespace

ChunkStatus ChunkStatusOf(const Plan& plan, const Chunk& c, const SlurmTask* task,
                          bool array_known) {
  ChunkStatus cs;
  const bool recorded = ReadChunkRecord(plan, c, cs);
  // A task Slurm still holds outranks a record of a run it killed: requeued
  // tasks run again. (A run removes its old record when it starts.)
  if (task && SlurmActive(task->state) && !(recorded && cs.state == ChunkState::kDone))
    return FromSlurm(*task);
  if (recorded) {
    // The time limit, a node failure or preemption reach the chunk as a
    // signal; Slurm knows which it was.
    if (cs.state == ChunkState::kCancelled && task && !SlurmActive(task->state) &&
        task->state != "CANCELLED") {
      cs.state = ChunkState::kFailed;
      cs.error = SlurmWhy(*task);
    }
    return cs;
  }
  if (task) return FromSlurm(*task);
  cs = ChunkStatus();
  if (array_known) {
    // Slurm drops an array task cancelled before it started, and only it,
    // while it still lists the others.
    cs.state = ChunkState::kCancelled;
    cs.error = "cancelled before it started";
  } else {
    cs.error = "neither Slurm nor the chunk's record knows what became of it";
  }
  return cs;
}

Status QueryJob(Slurm& slurm, const Plan& plan, JobStatus& status) {
  std::vector<std::string> jobs;
  for (const Chunk& c : plan.chunks) {
    const std::string array = c.job.substr(0, c.job.find('_'));
    if (!array.empty() && std::find(jobs.begin(), jobs.end(), array) == jobs.end())
      jobs.push_back(array);
  }
  if (!plan.report_job.empty()) jobs.push_back(plan.report_job);
  std::vector<SlurmTask> tasks;
  if (Status s = slurm.Query(jobs, tasks); !s) return s;
  std::map<std::string, SlurmTask> by_id;
  std::set<std::string> arrays;
  for (const SlurmTask& t : tasks) {
    by_id[t.task < 0 ? t.job : t.job + "_" + std::to_string(t.task)] = t;
    if (t.task >= 0) arrays.insert(t.job);
  }

  status.chunks.clear();
  for (const Chunk& c : plan.chunks) {
    const auto it = by_id.find(c.job);
    status.chunks.push_back(ChunkStatusOf(plan, c, it == by_id.end() ? nullptr : &it->second,
                                          arrays.count(c.job.substr(0, c.job.find('_'))) > 0));
  }
  status.report_state.clear();
  status.report_reason.clear();
  if (const auto it = by_id.find(plan.report_job); it != by_id.end()) {
    status.report_state = it->second.state;
    status.report_reason = it->second.reason;
  }
  return Status::Ok();
}

}  // namespace lumatrice::farm
