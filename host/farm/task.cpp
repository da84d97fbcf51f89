// The farm's node side: `farm run-chunk` runs one chunk's command and
// records how it ended; `farm report` verifies the whole output once every
// chunk is done and writes the job report.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "chunk_state.h"
#include "fail.h"
#include "farm.h"
#include "farm_hooks.h"
#include "plan.h"
#include "process.h"

namespace lumatrice::farm {
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

std::atomic<bool> g_stop{false};
std::atomic<int> g_child{0};
// Slurm signals every process of the task; another engine may signal only
// us, and the chunk's command must then hear it too (once: a second signal
// would also abort its writes in flight).
std::atomic<bool> g_forward{false};
extern "C" void OnStop(int sig) {
  g_stop.store(true);
  if (const int pid = g_child.load(); pid > 0 && g_forward.load()) ::kill(pid, sig);
}

std::string HostName() {
  char buf[256] = {};
  ::gethostname(buf, sizeof buf - 1);
  std::string s = buf;
  return s.substr(0, s.find('.'));
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// The last error the command printed, without the program's prefix.
std::string LastError(const std::string& err) {
  std::string found;
  std::size_t start = 0;
  while (start < err.size()) {
    const std::size_t end = std::min(err.find('\n', start), err.size());
    const std::string line = err.substr(start, end - start);
    if (line.rfind("lumatrice: error: ", 0) == 0) found = line.substr(18);
    start = end + 1;
  }
  return found;
}

// False when the chunk was cancelled while a test held it.
bool Hold(int index) {
  if (!hooks::before_chunk) return true;
  hooks::before_chunk(index);
  return !g_stop.load();
}

// Which chunk this task runs, and whether it is the task the plan expects
// for it: a task of an earlier submission, or requeued after a resubmit,
// must neither write frames nor the chunk's record.
Status ExpectedTask(const Plan& plan, std::optional<int>& index, std::string& job) {
  const std::string task = Env("SLURM_ARRAY_TASK_ID");
  if (!index) {
    if (task.empty() || task.find_first_not_of("0123456789") != std::string::npos)
      return Status::Usage("farm run-chunk: no chunk given and no SLURM_ARRAY_TASK_ID");
    index = std::stoi(task);
  }
  if (*index < 0 || *index >= int(plan.chunks.size()))
    return Status::Usage("farm run-chunk: the plan has no chunk " + std::to_string(*index));
  const Chunk& chunk = plan.chunks[std::size_t(*index)];
  job = !Env("SLURM_ARRAY_JOB_ID").empty() ? Env("SLURM_ARRAY_JOB_ID") + "_" + task : chunk.job;
  if (job != chunk.job)
    return Status::Failed("farm run-chunk: task " + job +
                          " is not the one the plan expects for chunk " + std::to_string(*index) +
                          " (" + chunk.job + "); a stale task: nothing run");
  return Status::Ok();
}

}  // namespace

int RunChunk(const std::string& plan_path, std::optional<int> index) {
  struct sigaction sa {};
  sa.sa_handler = OnStop;  // no SA_RESTART: a held chunk wakes to a cancel
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  g_forward.store(Env("SLURM_JOB_ID").empty());

  Plan plan;
  std::string job;
  if (Status s = LoadPlanToRun(plan_path, plan); !s) return Fail(s);
  if (Status s = ExpectedTask(plan, index, job); !s) return Fail(s);
  const Chunk& chunk = plan.chunks[std::size_t(*index)];
  std::error_code ec;
  fs::create_directories(plan.state_dir, ec);
  // A record left by a run Slurm killed and requeued is not this run's end.
  fs::remove(plan.ChunkRecord(*index), ec);
  const auto started = std::chrono::steady_clock::now();
  Json record{{"chunk", *index}, {"job", job}, {"node", HostName()},
              {"frames", FrameList(chunk.frames)}};

  int status = kExitCancelled;
  std::string err;
  if (Hold(*index)) {
    if (::chdir(plan.workdir.c_str()) != 0) return Fail(plan.workdir + ": cannot enter");
    ProcessOptions options;
    options.env = PlanEnv(plan);
    options.pass_stderr = true;
    options.child = &g_child;
    const ProcessResult r = RunProcess(ChunkArgv(plan, chunk), options);
    std::fputs(r.out.c_str(), stdout);
    status = r.started ? r.status : kExitFailed;
    err = r.started ? LastError(r.err) : r.error;
  }
  record["status"] = status;
  record["seconds"] =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!err.empty()) record["error"] = err;
  if (Status s = WriteJsonFile(plan.ChunkRecord(*index), record); !s) Fail(s);
  return status;
}

namespace {

// A movie output's segments, joined in chunk order into the movie.
Status JoinSegments(const Plan& plan, const JoinMovie& join) {
  std::vector<Segment> segments;
  for (const Chunk& c : plan.chunks)
    segments.push_back(Segment{SegmentFile(plan, c),
                               "chunk " + std::to_string(c.index) + " (frames " +
                                   FrameList(c.frames) + ")",
                               SegmentPictures(plan, c)});
  if (!join) return Status::Failed("this program cannot join movie segments");
  return join(segments, plan.files.front(), plan.movie);
}

// Each chunk's end for the report, and how many, where and how long.
struct ChunkTally {
  Json chunks = Json::array();
  double slowest = 0, fastest = -1;
  std::set<std::string> nodes;
  int done = 0;
};

ChunkTally TallyChunks(const Plan& plan) {
  ChunkTally t;
  for (const Chunk& c : plan.chunks) {
    ChunkStatus s;
    const bool known = ReadChunkRecord(plan, c, s);
    t.done += known && s.state == ChunkState::kDone;
    t.chunks.push_back({{"chunk", c.index},
                        {"frames", FrameList(c.frames)},
                        {"job", c.job},
                        {"state", known ? ChunkStateName(s.state) : "unknown"},
                        {"node", s.node},
                        {"seconds", s.seconds}});
    if (known) {
      t.nodes.insert(s.node);
      t.slowest = std::max(t.slowest, s.seconds);
      t.fastest = t.fastest < 0 ? s.seconds : std::min(t.fastest, s.seconds);
    }
  }
  return t;
}

}  // namespace

int Report(const std::string& plan_path, const JoinMovie& join) {
  Plan plan;
  if (Status s = LoadPlanToRun(plan_path, plan); !s) return Fail(s);
  if (::chdir(plan.workdir.c_str()) != 0) return Fail(plan.workdir + ": cannot enter");
  // A movie that could not be joined is not there to verify.
  const Status joined = MoviePlan(plan) ? JoinSegments(plan, join) : Status::Ok();
  ChunkTally t = TallyChunks(plan);
  ProcessResult r;
  if (joined) {
    ProcessOptions options;
    options.env = PlanEnv(plan);
    r = RunProcess(VerifyArgv(plan), options);
  }
  const Json v = Json::parse(r.out, nullptr, false);
  const int total = v.is_object() ? v.value("total", 0) : 0;
  const int stamped = v.is_object() ? v.value("stamped", 0) : 0;
  const int unreadable = v.is_object() ? v.value("unreadable", 0) : 0;
  const bool passed = r.started && r.status == 0 && v.is_object() && v.value("passed", false) &&
                      t.done == int(plan.chunks.size());
  const int status = passed ? kExitOk : r.started && r.status != 0 ? r.status : kExitFailed;
  std::string node_list;
  for (const std::string& n : t.nodes) node_list += (node_list.empty() ? "" : ",") + n;
  char times[96];
  std::snprintf(times, sizeof times, "%.2f-%.2f s", std::max(t.fastest, 0.0), t.slowest);
  const std::string summary =
      "lumatrice farm report " + plan.name + ": " + std::to_string(t.done) + " of " +
      std::to_string(plan.chunks.size()) + " chunks done, " +
      (joined ? std::string() : "join FAILED, ") + std::to_string(stamped) + " of " +
      std::to_string(total) + " frames stamped" +
      (unreadable ? ", " + std::to_string(unreadable) + " unreadable" : std::string()) +
      ", verify " + (passed ? "passed" : "FAILED") + "; chunk wall time " + times + " on " +
      (node_list.empty() ? "?" : node_list);
  Json report{{"lumatrice_farm_report", 1},
              {"name", plan.name},
              {"plan", plan.path},
              {"job", Env("SLURM_JOB_ID")},
              {"chunks", std::move(t.chunks)},
              {"frames", {{"total", total}, {"stamped", stamped}, {"unreadable", unreadable}}},
              {"verify", {{"passed", passed}, {"status", r.status}, {"command", VerifyArgv(plan)}}},
              {"status", status},
              {"summary", summary}};
  if (MoviePlan(plan))
    report["join"] = {{"passed", bool(joined)}, {"error", joined ? "" : joined.message()}};
  std::error_code ec;
  fs::create_directories(plan.state_dir, ec);
  if (Status s = WriteJsonFile(plan.ReportFile(), report); !s) return Fail(s);
  if (!joined) Fail(joined);
  std::printf("%s\n", summary.c_str());
  return status;
}

}  // namespace lumatrice::farm
