// Slurm's client commands, run as subprocesses: sbatch --parsable to submit,
// squeue for the state of jobs and array tasks, scancel. Works without
// accounting (no sacct): squeue --states=all sees finished jobs for the
// controller's MinJobAge.
#pragma once

#include <string>
#include <vector>

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
  // False (with `error`) when the client commands are not on PATH.
  bool Available(std::string& error);
  // The new job's id.
  bool Submit(const SbatchRequest& request, std::string& job, std::string& error);
  // Every task of these jobs the controller still knows (finished ones too).
  bool Query(const std::vector<std::string>& jobs, std::vector<SlurmTask>& tasks,
             std::string& error);
  bool Cancel(const std::string& job, std::string& error);
  // Lets a job submitted with --hold start.
  bool Release(const std::string& job, std::string& error);
  // The job's comment, where farm jobs keep their plan's path.
  bool Comment(const std::string& job, std::string& comment, std::string& error);

 private:
  std::string Failure(const std::string& command, const std::string& err, int status) const;
};

// Pending and running are the only states from which a task may still finish.
bool SlurmActive(const std::string& state);

}  // namespace lumatrice::farm
