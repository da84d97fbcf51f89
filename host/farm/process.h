// Runs an outside program from an argument vector (never through a shell)
// and collects its output and exit status.
#pragma once

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lumatrice::farm {

struct ProcessResult {
  bool started = false;  // false: the program could not be run (`error` says why)
  int status = -1;       // exit status, or 128 + signal
  std::string out, err;
  std::string error;
};

struct ProcessOptions {
  std::map<std::string, std::string> env;  // set in the child on top of ours
  std::optional<std::string> input;        // written to the child's standard input
  bool pass_stderr = false;                // also copy the child's stderr to ours as it comes
  std::atomic<int>* child = nullptr;       // holds the child's pid while it runs
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// The full path of `program` on PATH (or itself when it holds a slash), else "".
std::string FindOnPath(const std::string& program);

// This program's own executable.
std::string SelfExecutable();

}  // namespace lumatrice::farm
