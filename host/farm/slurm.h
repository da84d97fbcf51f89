// Slurm's client commands, run as subprocesses: sbatch --parsable to submit,
// squeue for the state of jobs and array tasks, scancel. Works without
// accounting (no sacct): squeue --states=all sees finished jobs for the
// controller's MinJobAge.
#pragma once

#include <string>
#include <vector>

#include "status.h"

namespace lumatrice::farm {

struct SlurmTask {
  std::string job;       // the array job's id, or the job's
  int task = -1;         // array task id; -1 for a job that is no array
  std::string state;     // PENDING, RUNNING, COMPLETED, FAILED, CANCELLED, ...
  std::string node;
  std::string reason;
};

struct SbatchRequest {
  std::vector<std::string> options;  // --array=..., --dependency=..., ...
  std::vector<std::string> command;  // what the job runs; no file holds it
};

class Slurm {
 public:
  // A failure when the client commands are not on PATH.
  Status Available();
  // The new job's id.
  Status Submit(const SbatchRequest& request, std::string& job);
  // Every task of these jobs the controller still knows (finished ones too).
  Status Query(const std::vector<std::string>& jobs, std::vector<SlurmTask>& tasks);
  Status Cancel(const std::string& job);
  // Lets a job submitted with --hold start.
  Status Release(const std::string& job);
  // The job's comment, where farm jobs keep their plan's path.
  Status Comment(const std::string& job, std::string& comment);

 private:
  // What a client command that exited with `status` failed with; `refused`
  // words it as a refusal unless the controller could not be reached.
  Status Failure(const std::string& command, const std::string& err, int status,
                 const std::string& refused = "") const;
};

// Pending and running are the only states from which a task may still finish.
bool SlurmActive(const std::string& state);

}  // namespace lumatrice::farm
