// Chunk states from chunk records and squeue.
#include "chunk_state.h"

#include <map>

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
  std::string error;
  if (!ReadJsonFile(plan.ChunkRecord(chunk.index), j, error) || !j.is_object()) return false;
  // A record of an earlier submission of this chunk says nothing about this one.
  if (j.value("job", std::string()) != chunk.job) return false;
  const int code = j.value("status", -1);
  status.state = code == 0                                     ? ChunkState::kDone
                 : code == 130 || code == 128 + 15 || code == 128 + 9 ? ChunkState::kCancelled
                                                               : ChunkState::kFailed;
  status.node = j.value("node", std::string());
  status.seconds = j.value("seconds", -1.0);
  status.error = j.value("error", std::string());
  return true;
}

bool QueryJob(Slurm& slurm, const Plan& plan, JobStatus& status, std::string& error) {
  std::vector<std::string> jobs;
  for (const Chunk& c : plan.chunks) {
    const std::string array = c.job.substr(0, c.job.find('_'));
    if (!array.empty() && (jobs.empty() || jobs.back() != array)) jobs.push_back(array);
  }
  if (!plan.report_job.empty()) jobs.push_back(plan.report_job);
  std::vector<SlurmTask> tasks;
  if (!slurm.Query(jobs, tasks, error)) return false;
  std::map<std::string, SlurmTask> by_id;
  for (const SlurmTask& t : tasks)
    by_id[t.task < 0 ? t.job : t.job + "_" + std::to_string(t.task)] = t;

  status.chunks.clear();
  for (const Chunk& c : plan.chunks) {
    ChunkStatus cs;
    if (!ReadChunkRecord(plan, c, cs)) {
      const auto it = by_id.find(c.job);
      if (it != by_id.end()) {
        const SlurmTask& t = it->second;
        cs.node = t.node;
        if (t.state == "PENDING")
          cs.state = ChunkState::kPending;
        else if (SlurmActive(t.state))
          cs.state = ChunkState::kRunning;
        else if (t.state == "CANCELLED")
          cs.state = ChunkState::kCancelled;
        else
          cs.state = ChunkState::kFailed;
        if (!SlurmActive(t.state))
          cs.error = "Slurm: " + t.state + (t.reason.empty() || t.reason == "None"
                                                ? std::string()
                                                : " (" + t.reason + ")");
      } else {
        cs.error = "neither Slurm nor the chunk's record knows what became of it";
      }
    }
    status.chunks.push_back(cs);
  }
  status.report_state.clear();
  status.report_reason.clear();
  if (const auto it = by_id.find(plan.report_job); it != by_id.end()) {
    status.report_state = it->second.state;
    status.report_reason = it->second.reason;
  }
  return true;
}

}  // namespace lumatrice::farm
