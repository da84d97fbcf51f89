// farm submit, status and resubmit: plan the chunks, hand them to Slurm as
// one job array plus a report job that waits for all of them, and follow
// the job until its report.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "chunk_state.h"
#include "farm.h"
#include "plan.h"
#include "process.h"
#include "slurm.h"

namespace lumatrice::farm {
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

int Fail(const std::string& message, int status = kFailed) {
  std::fprintf(stderr, "lumatrice: error: %s\n", message.c_str());
  return status;
}

std::string Now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  return buf;
}

// The value of `name` in a command line (`--name V` or `--name=V`), else "".
std::string OptionValue(const std::vector<std::string>& args, const std::string& name,
                        const std::string& alias = "") {
  std::string value;
  for (std::size_t i = 0; i < args.size(); ++i) {
    for (const std::string& n : {name, alias}) {
      if (n.empty()) continue;
      if (args[i] == n && i + 1 < args.size()) value = args[i + 1];
      if (args[i].rfind(n + "=", 0) == 0) value = args[i].substr(n.size() + 1);
    }
  }
  return value;
}

bool HasOption(const std::vector<std::string>& args, const std::string& name) {
  for (const std::string& a : args)
    if (a == name || a.rfind(name + "=", 0) == 0) return true;
  return false;
}

// "shot.####.exr" -> "shot": the name a plan gets when none is given.
std::string DefaultName(const std::string& first_file) {
  std::string stem = fs::path(first_file).stem().string();
  while (!stem.empty() && (std::isdigit((unsigned char)stem.back()) || stem.back() == '.' ||
                           stem.back() == '_' || stem.back() == '-'))
    stem.pop_back();
  std::string name;
  for (char c : stem) name += std::isalnum((unsigned char)c) || c == '-' || c == '_' ? c : '_';
  return name.empty() ? "frames" : name;
}

const char kTaskScript[] = "#!/bin/sh\n# Runs the farm command it is given.\nexec \"$@\"\n";

bool WriteTaskScript(const Plan& plan, std::string& path, std::string& error) {
  path = plan.state_dir + "/task.sh";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << kTaskScript;
  if (::chmod(path.c_str(), 0755) != 0) {
    error = path + ": cannot write the batch script";
    return false;
  }
  return true;
}

// Another plan beside ours that writes any of our files.
bool CheckOtherPlans(const Plan& plan, std::string& error) {
  const std::set<std::string> ours(plan.files.begin(), plan.files.end());
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path(plan.path).parent_path(), ec)) {
    const std::string path = entry.path().string();
    if (path == plan.path || path.size() < 10 || path.substr(path.size() - 10) != ".farm.json")
      continue;
    Plan other;
    std::string why;
    if (!LoadPlan(path, other, why)) continue;
    for (const std::string& f : other.files) {
      if (ours.count(f)) {
        error = "output " + f + " is also written by farm job \"" + other.name + "\" (plan " +
                path + "); remove that plan, or submit with --name " + other.name +
                " to replace it";
        return false;
      }
    }
  }
  return true;
}

bool LocatePlan(Slurm& slurm, const std::string& job, Plan& plan, std::string& error) {
  std::error_code ec;
  std::string path = job;
  if (!fs::is_regular_file(job, ec)) {
    if (job.empty() || job.find_first_not_of("0123456789_") != std::string::npos) {
      error = "plan " + job + ": no such file (give a Slurm job id or a plan file)";
      return false;
    }
    if (!slurm.Available(error)) return false;
    std::string comment;
    if (!slurm.Comment(job.substr(0, job.find('_')), comment, error)) return false;
    if (comment.rfind("lumatrice-farm:", 0) != 0) {
      error = "Slurm job " + job + " is not a lumatrice farm job";
      return false;
    }
    path = comment.substr(15);
  }
  return LoadPlan(fs::absolute(path).lexically_normal().string(), plan, error);
}

// Submits the chunks `indices` as one array and the report after them.
bool SubmitChunks(Slurm& slurm, Plan& plan, const std::vector<int>& indices, std::string& error) {
  std::string script;
  if (!WriteTaskScript(plan, script, error)) return false;
  std::vector<int> sorted = indices;
  std::vector<std::string> common{"--chdir=" + plan.workdir, "--comment=lumatrice-farm:" + plan.path,
                                  "--export=ALL"};
  if (!plan.partition.empty()) common.push_back("--partition=" + plan.partition);
  SbatchRequest array;
  array.options = common;
  array.options.insert(array.options.end(),
                       {"--job-name=" + plan.name, "--array=" + FrameList(sorted),
                        "--output=" + plan.state_dir + "/chunk-%a.log"});
  array.script = script;
  array.args = {SelfExecutable(), "farm", "run-chunk", plan.path};
  std::string array_job;
  if (!slurm.Submit(array, array_job, error)) return false;
  for (int i : indices) plan.chunks[std::size_t(i)].job = array_job + "_" + std::to_string(i);
  if (!SavePlan(plan, error)) {
    std::string ignored;
    slurm.Cancel(array_job, ignored);
    return false;
  }

  SbatchRequest report;
  report.options = common;
  report.options.insert(report.options.end(),
                        {"--job-name=" + plan.name + "-report", "--dependency=afterok:" + array_job,
                         "--output=" + plan.state_dir + "/report.log"});
  report.script = script;
  report.args = {SelfExecutable(), "farm", "report", plan.path};
  std::string report_job;
  if (!slurm.Submit(report, report_job, error)) {
    std::string ignored;
    slurm.Cancel(array_job, ignored);
    return false;
  }
  plan.report_job = report_job;
  plan.submissions.push_back(Json{{"at", Now()},
                                  {"chunks", FrameList(sorted)},
                                  {"array_job", array_job},
                                  {"report_job", report_job}});
  if (!SavePlan(plan, error)) return false;
  std::printf("lumatrice farm: %s: Slurm job array %s (%zu task%s: %s), report job %s\n",
              plan.name.c_str(), array_job.c_str(), indices.size(),
              indices.size() == 1 ? "" : "s", FrameList(sorted).c_str(), report_job.c_str());
  std::printf("lumatrice farm: plan %s\n", plan.path.c_str());
  std::fflush(stdout);
  return true;
}

void PrintFailures(const Plan& plan, const JobStatus& s) {
  for (std::size_t i = 0; i < s.chunks.size(); ++i) {
    const ChunkStatus& c = s.chunks[i];
    if (c.state == ChunkState::kDone || c.state == ChunkState::kPending ||
        c.state == ChunkState::kRunning)
      continue;
    std::fprintf(stderr, "lumatrice: error: farm job %s: chunk %zu (frames %s) %s%s%s\n",
                 plan.name.c_str(), i, FrameList(plan.chunks[i].frames).c_str(),
                 ChunkStateName(c.state), c.error.empty() ? "" : ": ", c.error.c_str());
  }
}

int ReportStatus(const Plan& plan, bool print) {
  Json report;
  std::string error;
  if (!ReadJsonFile(plan.ReportFile(), report, error) || !report.is_object()) return -1;
  if (print) std::printf("%s\n", report.value("summary", std::string()).c_str());
  return report.value("status", int(kFailed));
}

int Wait(Slurm& slurm, Plan& plan) {
  std::string last, error;
  int unreachable = 0;
  for (;;) {
    JobStatus s;
    if (!QueryJob(slurm, plan, s, error)) {
      // A controller that restarts drops a few queries; keep following.
      if (++unreachable >= 30) return Fail(error);
      std::this_thread::sleep_for(std::chrono::seconds(1));
      continue;
    }
    unreachable = 0;
    const std::string line = "lumatrice farm: " + plan.name + ": chunks " + ProgressLine(s);
    if (line != last) {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
      last = line;
    }
    const bool report_active = SlurmActive(s.report_state) && s.report_state != "PENDING";
    if (!s.ChunksActive() && !report_active) {
      const int status = ReportStatus(plan, true);
      if (s.Count(ChunkState::kDone) == int(s.chunks.size()) && status >= 0) return status;
      if (s.Count(ChunkState::kDone) != int(s.chunks.size())) {
        // Its dependency can no longer be met; without kill_invalid_depend it would wait for ever.
        if (s.report_state == "PENDING") slurm.Cancel(plan.report_job, error);
        PrintFailures(plan, s);
        std::fprintf(stderr, "lumatrice: farm job %s: the report did not run; resubmit with "
                     "`lumatrice farm resubmit %s`\n", plan.name.c_str(), plan.path.c_str());
        return kFailed;
      }
      if (!SlurmActive(s.report_state))
        return Fail("farm job " + plan.name + ": the report job ended " +
                    (s.report_state.empty() ? std::string("(unknown to Slurm)") : s.report_state) +
                    " without a report; see " + plan.state_dir + "/report.log");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

// The plan's file and folder beside the first output file.
void PlacePlan(const std::string& name, Plan& plan) {
  const fs::path folder = fs::path(plan.files.front()).parent_path();
  plan.name = !name.empty() ? name : DefaultName(plan.files.front());
  plan.path = (folder / (plan.name + ".farm.json")).string();
  plan.state_dir = (folder / (plan.name + ".farm")).string();
}

// Asks Blender for the .blend's frames and output files (the ARGS applied first).
const char kBlenderQuery[] =
    "import bpy, json\n"
    "s = bpy.context.scene\n"
    "fr = list(range(s.frame_start, s.frame_end + 1, s.frame_step))\n"
    "print('LUMATRICE_FARM ' + json.dumps({'step': s.frame_step, 'frames': fr, 'files': "
    "[bpy.path.abspath(s.render.frame_path(frame=f)) for f in fr]}))\n";

constexpr const char* kAddon = "lumatrice_blender";

// "/x/f_0007.png" for frame 7 -> "/x/f_%04d.png", checked against a second frame.
bool FramePattern(const std::vector<std::string>& files, const std::vector<int>& frames,
                  std::string& pattern) {
  const std::string& first = files.front();
  const std::size_t base = first.rfind('/') + 1;
  for (std::size_t end = first.size(); end > base; --end) {
    if (!std::isdigit((unsigned char)first[end - 1])) continue;
    std::size_t begin = end;
    while (begin > base && std::isdigit((unsigned char)first[begin - 1])) --begin;
    if (std::stol(first.substr(begin, end - begin)) == frames.front()) {
      pattern = first.substr(0, begin) + "%0" + std::to_string(end - begin) + "d" +
                first.substr(end);
      if (files.size() < 2) return true;
      char name[4096];
      std::snprintf(name, sizeof name, pattern.c_str(), frames[1]);
      return name == files[1];
    }
    end = begin;
  }
  return false;
}

// A Blender render: each chunk runs `blender -b FILE --addons lumatrice_blender
// ARGS -s A -e B -j STEP -a` with the add-on's render start and clock set.
fs::path AddonFolder() {
  return fs::path(SelfExecutable()).parent_path().parent_path() / "blender" / kAddon;
}

bool PlanBlender(const SubmitArgs& args, const std::vector<std::string>& job_args, Plan& plan,
                 std::vector<int>& frames, std::string& error) {
  if (job_args.empty() || fs::path(job_args.front()).extension() != ".blend") {
    error = "farm submit: -- blender FILE.blend [ARGS]";
    return false;
  }
  const std::string blender = FindOnPath("blender");
  if (blender.empty()) {
    error = "blender is not on PATH";
    return false;
  }
  const fs::path addon = AddonFolder();
  std::error_code ec;
  if (!fs::exists(addon / "__init__.py", ec)) {
    error = "no Blender add-on at " + addon.string() + " (build it: make)";
    return false;
  }
  const std::string blend = fs::absolute(job_args.front()).lexically_normal().string();
  std::vector<std::string> query{blender, "-b", blend};
  query.insert(query.end(), job_args.begin() + 1, job_args.end());
  query.insert(query.end(), {"--python-expr", kBlenderQuery});
  const ProcessResult r = RunProcess(query);
  const std::size_t at = r.out.find("LUMATRICE_FARM ");
  if (!r.started || r.status != 0 || at == std::string::npos) {
    error = "blender could not open " + blend + ": " +
            (r.started ? r.err.substr(0, 2000) + r.out.substr(0, 2000) : r.error);
    return false;
  }
  const Json q = Json::parse(r.out.substr(at + 15, r.out.find('\n', at) - at - 15), nullptr, false);
  if (q.is_discarded() || q["frames"].empty()) {
    error = blend + ": Blender names no frames to render";
    return false;
  }
  frames = q["frames"].get<std::vector<int>>();
  plan.files = q["files"].get<std::vector<std::string>>();
  const int step = q["step"].get<int>();
  if (!FramePattern(plan.files, frames, plan.output)) {
    error = "cannot tell the frame number in Blender's output name " + plan.files.front();
    return false;
  }
  const char* clock = std::getenv("LUMATRICE_CLOCK");
  plan.clock = clock && *clock ? clock : Now();
  const char* start = std::getenv("LUMATRICE_RENDER_START");
  plan.render_start = start && *start ? std::atoi(start) : frames.front();
  plan.env["LUMATRICE_CLOCK"] = plan.clock;
  plan.env["LUMATRICE_RENDER_START"] = std::to_string(plan.render_start);
  if (const char* lib = std::getenv("LUMATRICE_LIBRARY")) plan.env["LUMATRICE_LIBRARY"] = lib;
  PlacePlan(args.name, plan);
  // The add-on is enabled from a scripts folder of the plan's own.
  plan.env["BLENDER_USER_SCRIPTS"] = plan.state_dir + "/blender-scripts";
  const auto split = SplitFrames(frames, args.chunk);
  for (std::size_t i = 0; i < split.size(); ++i) {
    std::vector<std::string> cmd{blender, "-b", blend, "--addons", kAddon};
    cmd.insert(cmd.end(), job_args.begin() + 1, job_args.end());
    cmd.insert(cmd.end(), {"-s", std::to_string(split[i].front()), "-e",
                           std::to_string(split[i].back()), "-j", std::to_string(step), "-a"});
    plan.chunks.push_back(Chunk{int(i), split[i], cmd, ""});
  }
  plan.verify = {SelfExecutable(), "verify", plan.output, "--frames", FrameList(frames), "--json"};
  return true;
}

// A stamp or render: its own dry run checks the command and names its
// frames, its files and the clock it would run with.
bool PlanLumatrice(const SubmitArgs& args, const std::string& kind,
                   const std::vector<std::string>& job_args, Plan& plan, std::vector<int>& frames,
                   std::string& error) {
  const std::string self = SelfExecutable();
  std::vector<std::string> globals;
  for (const std::string& d : args.plugin_folders)
    globals.insert(globals.end(), {"--plugins", fs::absolute(d).lexically_normal().string()});
  // The command's own dry run checks it and names its frames and files.
  std::vector<std::string> dry{self};
  dry.insert(dry.end(), globals.begin(), globals.end());
  dry.push_back(kind);
  dry.insert(dry.end(), job_args.begin(), job_args.end());
  dry.insert(dry.end(), {"--dry-run", "--manifest", "-", "-q"});
  const ProcessResult r = RunProcess(dry);
  if (!r.started) {
    error = r.error;
    return false;
  }
  if (r.status != 0) {
    std::fputs(r.err.c_str(), stderr);
    error = "farm submit: the " + kind + " command was refused; nothing submitted";
    return false;
  }
  const Json manifest = Json::parse(r.out, nullptr, false);
  if (manifest.is_discarded() || !manifest.contains("frames") || manifest["frames"].empty()) {
    error = "the dry run of the command planned no frames";
    return false;
  }
  plan.output = OptionValue(job_args, "--output", "-o");
  plan.clock = OptionValue(job_args, "--clock");
  for (const Json& f : manifest["frames"]) {
    plan.files.push_back((fs::path(plan.workdir) / f.at("file").get<std::string>())
                             .lexically_normal()
                             .string());
    if (!f.contains("slate_copy_of")) frames.push_back(f.at("frame").get<int>());
    if (plan.clock.empty()) plan.clock = f.value("clock", std::string());
  }
  const std::string start = OptionValue(job_args, "--render-start");
  plan.render_start = !start.empty() ? std::stoi(start) : frames.front();
  for (const char* var : {"LUMATRICE_PLUGIN_PATH"})
    if (const char* v = std::getenv(var)) plan.env[var] = v;

  PlacePlan(args.name, plan);
  const auto split = SplitFrames(frames, args.chunk);
  for (std::size_t i = 0; i < split.size(); ++i)
    plan.chunks.push_back(Chunk{int(i), split[i],
                                ChunkCommand(self, globals, kind, job_args, split[i],
                                             plan.render_start, plan.clock),
                                ""});
  std::vector<int> written;
  for (const Json& f : manifest["frames"]) written.push_back(f.at("frame").get<int>());
  std::sort(written.begin(), written.end());
  const std::string pattern = plan.output.empty() ? "lumatrice-out/frame.#.png" : plan.output;
  plan.verify = {self, "verify", pattern, "--frames", FrameList(written), "--json"};

  return true;
}

}  // namespace

int Submit(const SubmitArgs& args) {
  if (args.command.empty())
    return Fail("farm submit needs a command: -- stamp|render|blender ARGS...", kUsage);
  const std::string kind = args.command.front();
  if (kind != "stamp" && kind != "render" && kind != "blender")
    return Fail("farm submit runs stamp, render or blender, not \"" + kind + "\"", kUsage);
  const std::vector<std::string> job_args(args.command.begin() + 1, args.command.end());
  for (const char* refused : {"--manifest", "--dry-run"})
    if (HasOption(job_args, refused))
      return Fail(std::string("farm submit: ") + refused + " does not apply to farm chunks",
                  kUsage);
  if (args.chunk < 1) return Fail("--chunk must be at least 1", kUsage);
  if (!args.name.empty() && !std::regex_match(args.name, std::regex("[A-Za-z0-9][A-Za-z0-9._-]*")))
    return Fail("--name \"" + args.name + "\": letters, digits, '.', '_' and '-' only", kUsage);
  Slurm slurm;
  std::string error;
  if (!slurm.Available(error)) return Fail(error);

  Plan plan;
  plan.workdir = fs::current_path().string();
  plan.kind = kind;
  plan.args = job_args;
  plan.created = Now();
  plan.engine = "slurm";
  plan.partition = args.partition;
  std::vector<int> frames;
  const bool planned = kind == "blender"
                           ? PlanBlender(args, job_args, plan, frames, error)
                           : PlanLumatrice(args, kind, job_args, plan, frames, error);
  if (!planned) return Fail(error, error.rfind("farm submit: the", 0) == 0 ? kUsage : kFailed);

  if (!CheckOtherPlans(plan, error)) return Fail(error);
  std::error_code ec;
  if (fs::exists(plan.path, ec)) {
    Plan old;
    if (LoadPlan(plan.path, old, error)) {
      JobStatus s;
      if (QueryJob(slurm, old, s, error) && (s.ChunksActive() || SlurmActive(s.report_state)))
        return Fail("farm job " + old.name + " (plan " + plan.path +
                    ") is still queued or running; wait for it or cancel it (scancel " +
                    old.report_job + " and its array) before submitting again");
    }
  }
  fs::remove_all(plan.state_dir, ec);
  fs::create_directories(plan.state_dir, ec);
  if (ec) return Fail(plan.state_dir + ": " + ec.message());
  if (kind == "blender") {
    const fs::path addons = plan.env["BLENDER_USER_SCRIPTS"] + "/addons";
    fs::create_directories(addons, ec);
    if (!ec) fs::create_directory_symlink(AddonFolder(), addons / kAddon, ec);
    if (ec) return Fail(addons.string() + ": " + ec.message());
  }
  if (!SavePlan(plan, error)) return Fail(error);
  std::printf("lumatrice farm: %s: %zu frame%s in %zu chunk%s of %d, render start %d, clock %s\n",
              plan.name.c_str(), frames.size(), frames.size() == 1 ? "" : "s",
              plan.chunks.size(), plan.chunks.size() == 1 ? "" : "s", args.chunk,
              plan.render_start, plan.clock.c_str());
  std::vector<int> all;
  for (const Chunk& c : plan.chunks) all.push_back(c.index);
  if (!SubmitChunks(slurm, plan, all, error)) {
    fs::remove(plan.path, ec);
    fs::remove_all(plan.state_dir, ec);
    return Fail(error);
  }
  return args.wait ? Wait(slurm, plan) : kOk;
}

int Status(const std::string& job, bool wait) {
  Slurm slurm;
  Plan plan;
  std::string error;
  if (!LocatePlan(slurm, job, plan, error)) return Fail(error);
  if (!slurm.Available(error)) return Fail(error);
  if (wait) return Wait(slurm, plan);
  JobStatus s;
  if (!QueryJob(slurm, plan, s, error)) return Fail(error);
  std::printf("farm job %s: %s %s, %zu chunks, render start %d, clock %s\n", plan.name.c_str(),
              plan.kind.c_str(), plan.output.c_str(), plan.chunks.size(), plan.render_start,
              plan.clock.c_str());
  std::printf("  plan %s\n", plan.path.c_str());
  for (std::size_t i = 0; i < plan.chunks.size(); ++i) {
    const ChunkStatus& c = s.chunks[i];
    std::printf("  chunk %zu  frames %-12s %-9s job %s", i,
                FrameList(plan.chunks[i].frames).c_str(), ChunkStateName(c.state),
                plan.chunks[i].job.c_str());
    if (!c.node.empty()) std::printf("  on %s", c.node.c_str());
    if (c.seconds >= 0) std::printf("  %.2f s", c.seconds);
    if (!c.error.empty() && c.state != ChunkState::kDone) std::printf("  %s", c.error.c_str());
    std::printf("\n");
  }
  std::printf("  chunks %s\n", ProgressLine(s).c_str());
  std::printf("  report job %s: %s%s\n", plan.report_job.c_str(),
              s.report_state.empty() ? "unknown to Slurm" : s.report_state.c_str(),
              s.report_reason.empty() || s.report_reason == "None"
                  ? ""
                  : (" (" + s.report_reason + ")").c_str());
  if (ReportStatus(plan, false) >= 0) {
    std::printf("  report %s\n  ", plan.ReportFile().c_str());
    ReportStatus(plan, true);
  }
  return kOk;
}

int Resubmit(const std::string& job, bool wait) {
  Slurm slurm;
  Plan plan;
  std::string error;
  if (!LocatePlan(slurm, job, plan, error)) return Fail(error);
  if (!slurm.Available(error)) return Fail(error);
  JobStatus s;
  if (!QueryJob(slurm, plan, s, error)) return Fail(error);
  if (s.ChunksActive())
    return Fail("farm job " + plan.name + ": chunks are still queued or running (" +
                ProgressLine(s) + "); resubmit once they have ended");
  if (SlurmActive(s.report_state)) slurm.Cancel(plan.report_job, error);
  std::vector<int> again;
  for (std::size_t i = 0; i < s.chunks.size(); ++i)
    if (s.chunks[i].state != ChunkState::kDone) again.push_back(int(i));
  if (again.empty() && ReportStatus(plan, false) >= 0) {
    std::printf("lumatrice farm: %s: every chunk is done; nothing to resubmit\n", plan.name.c_str());
    return kOk;
  }
  std::error_code ec;
  for (int i : again) fs::remove(plan.ChunkRecord(i), ec);
  fs::remove(plan.ReportFile(), ec);
  if (again.empty()) {
    // Every chunk is done but the report is missing: the report waits on a
    // rerun of the first chunk, which writes the same frames again.
    again.push_back(0);
  }
  std::printf("lumatrice farm: %s: resubmitting chunk%s %s (render start %d, clock %s)\n",
              plan.name.c_str(), again.size() == 1 ? "" : "s", FrameList(again).c_str(),
              plan.render_start, plan.clock.c_str());
  if (!SubmitChunks(slurm, plan, again, error)) return Fail(error);
  return wait ? Wait(slurm, plan) : kOk;
}

}  // namespace lumatrice::farm
