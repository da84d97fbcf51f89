// lumatrice farm: a stamp or render split into chunks and run on a workload
// manager (Slurm), with a report job that verifies the whole output. Each
// function returns the process exit status of status.h (kExitCheckFailed:
// the output did not verify).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "status.h"

namespace lumatrice::farm {

struct SubmitArgs {
  int chunk = 10;                      // frames per chunk
  std::string partition;
  std::string name;                    // default: from the output file names
  bool wait = false;
  std::vector<std::string> command;    // stamp|render ARGS...
  std::vector<std::string> plugin_folders;  // the program's --plugins
};

int Submit(const SubmitArgs& args);
// JOB is a Slurm job id of the farm job or its plan file. With `wait`,
// it follows the job as submit --wait does.
int ShowStatus(const std::string& job, bool wait);
int Resubmit(const std::string& job, bool wait);

// Run on the farm's nodes: one chunk (its index, else the array task id)
// and the report over the whole output.
// A movie output's codec, as the run's dry run resolved it.
struct MovieRun {
  std::string codec, profile;
  int crf = -1;
  bool intra_only = true;  // else the report encodes the chunks' lossless segments
};

// The report of a movie output first joins the chunks' segments through
// `join`, which the program hands in (the farm links no movie code).
struct Segment {
  std::string path;
  std::string name;       // "chunk 2 (frames 5-6)"
  long long pictures = 0;
};
// Copied packet for packet when `movie.intra_only`, else decoded and
// encoded in its codec.
using JoinMovie = std::function<Status(const std::vector<Segment>& segments,
                                       const std::string& target, const MovieRun& movie)>;
int RunChunk(const std::string& plan, std::optional<int> index);
int Report(const std::string& plan, const JoinMovie& join);

}  // namespace lumatrice::farm
