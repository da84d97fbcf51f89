// Slurm client commands and the reading of their output.
#include "slurm.h"

#include <cstdlib>
#include <sstream>

#include "process.h"

namespace lumatrice::farm {
namespace {

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  return s.substr(i);
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(s);
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!s.empty() && s.back() == sep) parts.emplace_back();
  return parts;
}

// squeue's %K: "3", or for pending tasks still held together "0-3,5,7-9%2".
std::vector<int> TaskIds(const std::string& text) {
  std::vector<int> ids;
  std::string list = text.substr(0, text.find('%'));
  if (!list.empty() && list.front() == '[') list = list.substr(1, list.find(']') - 1);
  for (const std::string& part : Split(list, ',')) {
    if (part.empty() || part == "N/A") continue;
    const auto dash = part.find('-');
    try {
      const int a = std::stoi(part.substr(0, dash));
      const int b = dash == std::string::npos ? a : std::stoi(part.substr(dash + 1));
      for (int i = a; i <= b && i - a < 1000000; ++i) ids.push_back(i);
    } catch (const std::exception&) {
    }
  }
  return ids;
}

// 'text' for sh, a ' inside as '\''.
std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out.append("'\\''");
    else
      out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

}  // namespace

bool SlurmActive(const std::string& state) {
  return state == "PENDING" || state == "RUNNING" || state == "CONFIGURING" ||
         state == "COMPLETING" || state == "SUSPENDED" || state == "REQUEUED" ||
         state == "RESIZING" || state == "STAGE_OUT" || state == "SIGNALING";
}

Status Slurm::Failure(const std::string& command, const std::string& err, int status,
                      const std::string& refused) const {
  const std::string message = Trim(err).empty() ? command + " exited with status " +
                                                      std::to_string(status)
                                                : Trim(err);
  if (message.find("Unable to contact slurm controller") != std::string::npos ||
      message.find("Unable to process configuration file") != std::string::npos) {
    const char* conf = std::getenv("SLURM_CONF");
    return Status::Failed(
        "the Slurm controller cannot be reached (" +
        (conf ? "SLURM_CONF=" + std::string(conf) : std::string("default configuration")) +
        "): " + message);
  }
  return Status::Failed(refused + message);
}

Status Slurm::Available() {
  for (const char* program : {"sbatch", "squeue", "scancel", "scontrol"}) {
    if (FindOnPath(program).empty())
      return Status::Failed(std::string("no Slurm client on PATH (") + program +
                            " not found): install slurm-client or load the cluster's Slurm "
                            "environment");
  }
  return Status::Ok();
}

Status Slurm::Submit(const SbatchRequest& request, std::string& job) {
  std::vector<std::string> argv{"sbatch", "--parsable"};
  argv.insert(argv.end(), request.options.begin(), request.options.end());
  // The batch script goes on standard input, so no file that someone could
  // swap before Slurm reads it.
  std::string script = "#!/bin/sh\nexec";
  for (const std::string& a : request.command) {
    script.push_back(' ');
    script += ShellQuote(a);
  }
  ProcessOptions options;
  options.input = script + "\n";
  const ProcessResult r = RunProcess(argv, options);
  if (!r.started) return Status::Failed(r.error);
  if (r.status != 0) return Failure("sbatch", r.err, r.status, "Slurm refused the job: ");
  // "123" or "123;cluster".
  job = Trim(r.out.substr(0, r.out.find(';')));
  if (job.empty() || job.find_first_not_of("0123456789") != std::string::npos)
    return Status::Failed("sbatch printed no job id: \"" + Trim(r.out) + "\"");
  return Status::Ok();
}

Status Slurm::Query(const std::vector<std::string>& jobs, std::vector<SlurmTask>& tasks) {
  tasks.clear();
  if (jobs.empty()) return Status::Ok();
  std::string list;
  for (const std::string& j : jobs) list += (list.empty() ? "" : ",") + j;
  const ProcessResult r = RunProcess(
      {"squeue", "--noheader", "--array", "--states=all", "--jobs=" + list,
       "--format=%F|%K|%A|%T|%N|%r"});
  if (!r.started) return Status::Failed(r.error);
  if (r.status != 0) {
    // A job the controller has forgotten is no error: it is simply not listed.
    if (r.err.find("Invalid job id") != std::string::npos) return Status::Ok();
    return Failure("squeue", r.err, r.status);
  }
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    const auto f = Split(Trim(line), '|');
    if (f.size() < 6) continue;
    SlurmTask t;
    t.state = f[3];
    t.node = f[4];
    t.reason = f[5];
    const std::vector<int> ids = TaskIds(f[1]);
    if (ids.empty()) {
      t.job = f[2];
      tasks.push_back(t);
      continue;
    }
    t.job = f[0];
    for (int id : ids) {
      t.task = id;
      tasks.push_back(t);
    }
  }
  return Status::Ok();
}

Status Slurm::Cancel(const std::string& job) {
  const ProcessResult r = RunProcess({"scancel", job});
  if (!r.started) return Status::Failed(r.error);
  return r.status != 0 ? Failure("scancel", r.err, r.status) : Status::Ok();
}

Status Slurm::Release(const std::string& job) {
  const ProcessResult r = RunProcess({"scontrol", "release", job});
  if (!r.started) return Status::Failed(r.error);
  return r.status != 0 ? Failure("scontrol release", r.err, r.status) : Status::Ok();
}

Status Slurm::Comment(const std::string& job, std::string& comment) {
  const ProcessResult r =
      RunProcess({"squeue", "--noheader", "--states=all", "--jobs=" + job, "--format=%k"});
  if (!r.started) return Status::Failed(r.error);
  if (r.status != 0 && r.err.find("Invalid job id") == std::string::npos)
    return Failure("squeue", r.err, r.status);
  comment = Trim(r.out.substr(0, r.out.find('\n')));
  if (comment.empty())
    return {StatusKind::kNotFound,
            "Slurm knows no job " + job +
                " (it forgets finished jobs after a while): give the plan file instead"};
  return Status::Ok();
}

}  // namespace lumatrice::farm
