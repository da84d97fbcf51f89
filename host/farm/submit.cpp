// farm submit, status and resubmit: plan the chunks, hand them to Slurm as
// one job array plus a report job that waits for all of them, and follow
// the job until its report.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
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
    if (!LoadPlan(path, other, why, PlanUse::kRead)) continue;
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

bool LocatePlan(Slurm& slurm, const std::string& job, Plan& plan, std::string& error,
                PlanUse use = PlanUse::kTrusted) {
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
  path = fs::absolute(path).lexically_normal().string();
  return use == PlanUse::kRead ? LoadPlan(path, plan, error, use)
                               : LoadPlanToRun(path, plan, error);
}

std::vector<std::string> CommonOptions(const Plan& plan) {
  std::vector<std::string> common{"--chdir=" + plan.workdir,
                                  "--comment=lumatrice-farm:" + plan.path, "--export=ALL"};
  if (!plan.partition.empty()) common.push_back("--partition=" + plan.partition);
  return common;
}

// The report job, after the array `after` when there is one.
bool SubmitReport(Slurm& slurm, Plan& plan, const std::string& after, std::string& report_job,
                  std::string& error) {
  SbatchRequest report;
  report.options = CommonOptions(plan);
  report.options.insert(report.options.end(), {"--job-name=" + plan.name + "-report",
                                               "--output=" + plan.state_dir + "/report.log"});
  if (!after.empty()) report.options.push_back("--dependency=afterok:" + after);
  report.command = {plan.lumatrice.path, "farm", "report", plan.path};
  return slurm.Submit(report, report_job, error);
}

// Submits the chunks `indices` as one array and the report after them. The
// array is held until the plan names its tasks, which run only as the task
// the plan expects.
bool SubmitChunks(Slurm& slurm, Plan& plan, const std::vector<int>& indices, std::string& error) {
  std::string array_job;
  if (!indices.empty()) {
    SbatchRequest array;
    array.options = CommonOptions(plan);
    array.options.insert(array.options.end(),
                         {"--hold", "--job-name=" + plan.name, "--array=" + FrameList(indices),
                          "--output=" + plan.state_dir + "/chunk-%a.log"});
    array.command = {plan.lumatrice.path, "farm", "run-chunk", plan.path};
    if (!slurm.Submit(array, array_job, error)) return false;
    for (int i : indices) plan.chunks[std::size_t(i)].job = array_job + "_" + std::to_string(i);
    std::string ignored;
    if (!SavePlan(plan, error) || !slurm.Release(array_job, error)) {
      slurm.Cancel(array_job, ignored);
      return false;
    }
  }
  std::string report_job;
  if (!SubmitReport(slurm, plan, array_job, report_job, error)) {
    std::string ignored;
    if (!array_job.empty()) slurm.Cancel(array_job, ignored);
    return false;
  }
  plan.report_job = report_job;
  plan.submissions.push_back(Json{{"at", Now()},
                                  {"chunks", FrameList(indices)},
                                  {"array_job", array_job},
                                  {"report_job", report_job}});
  if (!SavePlan(plan, error)) return false;
  if (indices.empty())
    std::printf("lumatrice farm: %s: report job %s\n", plan.name.c_str(), report_job.c_str());
  else
    std::printf("lumatrice farm: %s: Slurm job array %s (%zu task%s: %s), report job %s\n",
                plan.name.c_str(), array_job.c_str(), indices.size(),
                indices.size() == 1 ? "" : "s", FrameList(indices).c_str(), report_job.c_str());
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
      if (!SlurmActive(s.report_state)) {
        const std::string log = plan.state_dir + "/report.log";
        std::error_code ec;
        return Fail("farm job " + plan.name + ": the report job ended " +
                    (s.report_state.empty() ? std::string("(unknown to Slurm)") : s.report_state) +
                    " without a report" + (fs::exists(log, ec) ? "; see " + log : "") +
                    "; run it again with `lumatrice farm resubmit " + plan.path + "`");
      }
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
  return fs::path(SelfExecutable()).parent_path().parent_path() / "blender" / kBlenderAddon;
}

// The programs a plan's commands run, as they are now.
bool IdentifyPrograms(Plan& plan, const std::string& blender, std::string& error) {
  if (!IdentifyProgram(SelfExecutable(), plan.lumatrice, error)) return false;
  return blender.empty() || IdentifyProgram(blender, plan.blender, error);
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
  plan.step = q["step"].get<int>();
  if (!FramePattern(plan.files, frames, plan.output)) {
    error = "cannot tell the frame number in Blender's output name " + plan.files.front();
    return false;
  }
  if (!IdentifyPrograms(plan, blender, error)) return false;
  plan.args.front() = blend;
  const char* clock = std::getenv("LUMATRICE_CLOCK");
  plan.clock = clock && *clock ? clock : Now();
  const char* start = std::getenv("LUMATRICE_RENDER_START");
  plan.render_start = start && *start ? std::atoi(start) : frames.front();
  if (const char* lib = std::getenv("LUMATRICE_LIBRARY")) plan.env["LUMATRICE_LIBRARY"] = lib;
  PlacePlan(args.name, plan);
  plan.written = frames;
  const auto split = SplitFrames(frames, args.chunk);
  for (std::size_t i = 0; i < split.size(); ++i) plan.chunks.push_back(Chunk{int(i), split[i], {}, ""});
  MakeCommands(plan);
  return true;
}

// A stamp or render: its own dry run checks the command and names its
// output, frames, files, render start and the clock it would run with.
bool PlanLumatrice(const SubmitArgs& args, const std::string& kind,
                   const std::vector<std::string>& job_args, Plan& plan, std::vector<int>& frames,
                   std::string& error) {
  if (!IdentifyPrograms(plan, "", error)) return false;
  for (const std::string& d : args.plugin_folders)
    plan.plugins.push_back(fs::absolute(d).lexically_normal().string());
  std::vector<std::string> dry{plan.lumatrice.path};
  for (const std::string& d : plan.plugins) dry.insert(dry.end(), {"--plugins", d});
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
  try {
    const Json& run = manifest.at("run");
    run.at("output").get_to(plan.output);
    run.at("frames").get_to(frames);
    run.at("render_start").get_to(plan.render_start);
    run.at("clock").get_to(plan.clock);
    for (const Json& f : manifest.at("frames")) {
      plan.files.push_back((fs::path(plan.workdir) / f.at("file").get<std::string>())
                               .lexically_normal()
                               .string());
      plan.written.push_back(f.at("frame").get<int>());
    }
  } catch (const std::exception& e) {
    error = std::string("the dry run of the command gave no plan of its run: ") + e.what();
    return false;
  }
  if (frames.empty() || plan.files.empty()) {
    error = "the dry run of the command planned no frames";
    return false;
  }
  // Chunks cannot share one movie file, and segments joined afterwards are
  // not made yet.
  std::string ext = fs::path(plan.output).extension().string();
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".mov" || ext == ".mp4" || ext == ".mkv" || ext == ".mxf") {
    error = "farm submit: a movie output (" + plan.output +
            ") cannot be split into chunks; stamp a frame sequence on the farm, then that "
            "sequence into the movie on one machine";
    return false;
  }
  std::sort(plan.written.begin(), plan.written.end());
  if (const char* v = std::getenv("LUMATRICE_PLUGIN_PATH")) plan.env["LUMATRICE_PLUGIN_PATH"] = v;
  PlacePlan(args.name, plan);
  const auto split = SplitFrames(frames, args.chunk);
  for (std::size_t i = 0; i < split.size(); ++i) plan.chunks.push_back(Chunk{int(i), split[i], {}, ""});
  MakeCommands(plan);
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
    if (LoadPlan(plan.path, old, error, PlanUse::kRead)) {
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
    if (!ec) fs::create_directory_symlink(AddonFolder(), addons / kBlenderAddon, ec);
    if (ec) return Fail(addons.string() + ": " + ec.message());
  }
  // The chunks load the plan as a resubmit does; a folder they would refuse
  // is refused here, before anything is queued.
  Plan check;
  if (!SavePlan(plan, error) || !LoadPlanToRun(plan.path, check, error)) {
    fs::remove(plan.path, ec);
    fs::remove_all(plan.state_dir, ec);
    return Fail(error);
  }
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

namespace {

// Columns as wide as their widest entry, so chunk 10 lines up with chunk 9.
void PrintChunks(const Plan& plan, const JobStatus& s) {
  std::size_t index_w = 1, frames_w = 6, job_w = 1;
  for (const Chunk& c : plan.chunks) {
    index_w = std::max(index_w, std::to_string(c.index).size());
    frames_w = std::max(frames_w, FrameList(c.frames).size());
    job_w = std::max(job_w, c.job.size());
  }
  for (std::size_t i = 0; i < plan.chunks.size(); ++i) {
    const ChunkStatus& c = s.chunks[i];
    std::printf("  chunk %-*zu  frames %-*s  %-9s job %-*s", int(index_w), i, int(frames_w),
                FrameList(plan.chunks[i].frames).c_str(), ChunkStateName(c.state), int(job_w),
                plan.chunks[i].job.c_str());
    if (!c.node.empty()) std::printf("  on %s", c.node.c_str());
    if (c.seconds >= 0) std::printf("  %.2f s", c.seconds);
    if (!c.error.empty() && c.state != ChunkState::kDone) std::printf("  %s", c.error.c_str());
    std::printf("\n");
  }
}

// Tasks of earlier submissions for the chunks about to run again that Slurm
// still holds (a requeue brings one back): they must not run beside the new ones.
void CancelStaleTasks(Slurm& slurm, const Plan& plan, const std::vector<int>& again) {
  std::vector<std::string> arrays;
  for (const Json& sub : plan.submissions) {
    const std::string a = sub.value("array_job", std::string());
    if (!a.empty()) arrays.push_back(a);
  }
  std::vector<SlurmTask> tasks;
  std::string error;
  if (arrays.empty() || !slurm.Query(arrays, tasks, error)) return;
  for (const SlurmTask& t : tasks) {
    if (t.task < 0 || !SlurmActive(t.state) ||
        std::find(again.begin(), again.end(), t.task) == again.end())
      continue;
    const std::string id = t.job + "_" + std::to_string(t.task);
    if (id != plan.chunks[std::size_t(t.task)].job) slurm.Cancel(id, error);
  }
}

}  // namespace

int Status(const std::string& job, bool wait) {
  Slurm slurm;
  Plan plan;
  std::string error;
  if (!LocatePlan(slurm, job, plan, error, PlanUse::kRead)) return Fail(error);
  if (!slurm.Available(error)) return Fail(error);
  if (wait) return Wait(slurm, plan);
  JobStatus s;
  if (!QueryJob(slurm, plan, s, error)) return Fail(error);
  std::printf("farm job %s: %s %s, %zu chunks, render start %d, clock %s\n", plan.name.c_str(),
              plan.kind.c_str(), plan.output.c_str(), plan.chunks.size(), plan.render_start,
              plan.clock.c_str());
  std::printf("  plan %s\n", plan.path.c_str());
  PrintChunks(plan, s);
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
  CancelStaleTasks(slurm, plan, again);
  std::error_code ec;
  for (int i : again) fs::remove(plan.ChunkRecord(i), ec);
  fs::remove(plan.ReportFile(), ec);
  // Every chunk done but no report: the report alone runs again.
  if (again.empty())
    std::printf("lumatrice farm: %s: every chunk is done; resubmitting the report\n",
                plan.name.c_str());
  else
    std::printf("lumatrice farm: %s: resubmitting chunk%s %s (render start %d, clock %s)\n",
                plan.name.c_str(), again.size() == 1 ? "" : "s", FrameList(again).c_str(),
                plan.render_start, plan.clock.c_str());
  if (!SubmitChunks(slurm, plan, again, error)) return Fail(error);
  return wait ? Wait(slurm, plan) : kOk;
}

}  // namespace lumatrice::farm
