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
#include "fail.h"
#include "farm.h"
#include "plan.h"
#include "process.h"
#include "slurm.h"

namespace lumatrice::farm {
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

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
Status CheckOtherPlans(const Plan& plan) {
  const std::set<std::string> ours(plan.files.begin(), plan.files.end());
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path(plan.path).parent_path(), ec)) {
    const std::string path = entry.path().string();
    if (path == plan.path || path.size() < 10 || path.substr(path.size() - 10) != ".farm.json")
      continue;
    Plan other;
    if (!LoadPlan(path, other, PlanUse::kRead)) continue;
    for (const std::string& f : other.files) {
      if (ours.count(f))
        return Status::Failed("output " + f + " is also written by farm job \"" + other.name +
                              "\" (plan " + path + "); remove that plan, or submit with --name " +
                              other.name + " to replace it");
    }
  }
  return Status::Ok();
}

Status LocatePlan(Slurm& slurm, const std::string& job, Plan& plan,
                  PlanUse use = PlanUse::kTrusted) {
  std::error_code ec;
  std::string path = job;
  if (!fs::is_regular_file(job, ec)) {
    if (job.empty() || job.find_first_not_of("0123456789_") != std::string::npos)
      return {StatusKind::kNotFound,
              "plan " + job + ": no such file (give a Slurm job id or a plan file)"};
    if (Status s = slurm.Available(); !s) return s;
    std::string comment;
    if (Status s = slurm.Comment(job.substr(0, job.find('_')), comment); !s) return s;
    if (comment.rfind("lumatrice-farm:", 0) != 0)
      return {StatusKind::kNotFound, "Slurm job " + job + " is not a lumatrice farm job"};
    path = comment.substr(15);
  }
  path = fs::absolute(path).lexically_normal().string();
  return use == PlanUse::kRead ? LoadPlan(path, plan, use) : LoadPlanToRun(path, plan);
}

std::vector<std::string> CommonOptions(const Plan& plan) {
  std::vector<std::string> common{"--chdir=" + plan.workdir,
                                  "--comment=lumatrice-farm:" + plan.path, "--export=ALL"};
  if (!plan.partition.empty()) common.push_back("--partition=" + plan.partition);
  return common;
}

// The report job, after the array `after` when there is one.
Status SubmitReport(Slurm& slurm, Plan& plan, const std::string& after,
                    std::string& report_job) {
  SbatchRequest report;
  report.options = CommonOptions(plan);
  report.options.insert(report.options.end(), {"--job-name=" + plan.name + "-report",
                                               "--output=" + plan.state_dir + "/report.log"});
  if (!after.empty()) report.options.push_back("--dependency=afterok:" + after);
  report.command = {plan.lumatrice.path, "farm", "report", plan.path};
  return slurm.Submit(report, report_job);
}

// Submits the chunks `indices` as one array and the report after them. The
// array is held until the plan names its tasks, which run only as the task
// the plan expects.
Status SubmitChunks(Slurm& slurm, Plan& plan, const std::vector<int>& indices) {
  std::string array_job;
  if (!indices.empty()) {
    SbatchRequest array;
    array.options = CommonOptions(plan);
    array.options.insert(array.options.end(),
                         {"--hold", "--job-name=" + plan.name, "--array=" + FrameList(indices),
                          "--output=" + plan.state_dir + "/chunk-%a.log"});
    array.command = {plan.lumatrice.path, "farm", "run-chunk", plan.path};
    if (Status s = slurm.Submit(array, array_job); !s) return s;
    for (int i : indices) plan.chunks[std::size_t(i)].job = array_job + "_" + std::to_string(i);
    Status s = SavePlan(plan);
    if (s) s = slurm.Release(array_job);
    if (!s) {
      (void)slurm.Cancel(array_job);
      return s;
    }
  }
  std::string report_job;
  if (Status s = SubmitReport(slurm, plan, array_job, report_job); !s) {
    if (!array_job.empty()) (void)slurm.Cancel(array_job);
    return s;
  }
  plan.report_job = report_job;
  plan.submissions.push_back(Json{{"at", Now()},
                                  {"chunks", FrameList(indices)},
                                  {"array_job", array_job},
                                  {"report_job", report_job}});
  if (Status s = SavePlan(plan); !s) return s;
  if (indices.empty())
    std::printf("lumatrice farm: %s: report job %s\n", plan.name.c_str(), report_job.c_str());
  else
    std::printf("lumatrice farm: %s: Slurm job array %s (%zu task%s: %s), report job %s\n",
                plan.name.c_str(), array_job.c_str(), indices.size(),
                indices.size() == 1 ? "" : "s", FrameList(indices).c_str(), report_job.c_str());
  std::printf("lumatrice farm: plan %s\n", plan.path.c_str());
  std::fflush(stdout);
  return Status::Ok();
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

// The exit status the report recorded, or -1 when there is no report.
int ReportStatus(const Plan& plan, bool print) {
  Json report;
  if (!ReadJsonFile(plan.ReportFile(), report) || !report.is_object()) return -1;
  if (print) std::printf("%s\n", report.value("summary", std::string()).c_str());
  return report.value("status", kExitFailed);
}

int Wait(Slurm& slurm, Plan& plan) {
  std::string last;
  int unreachable = 0;
  for (;;) {
    JobStatus s;
    if (const Status queried = QueryJob(slurm, plan, s); !queried) {
      // A controller that restarts drops a few queries; keep following.
      if (++unreachable >= 30) return Fail(queried);
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
        if (s.report_state == "PENDING") (void)slurm.Cancel(plan.report_job);
        PrintFailures(plan, s);
        std::fprintf(stderr, "lumatrice: farm job %s: the report did not run; resubmit with "
                     "`lumatrice farm resubmit %s`\n", plan.name.c_str(), plan.path.c_str());
        return kExitFailed;
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
Status IdentifyPrograms(Plan& plan, const std::string& blender) {
  if (Status s = IdentifyProgram(SelfExecutable(), plan.lumatrice); !s) return s;
  return blender.empty() ? Status::Ok() : IdentifyProgram(blender, plan.blender);
}

// The plan's chunks of `size` frames each, and their commands.
void MakeChunks(Plan& plan, const std::vector<int>& frames, int size) {
  const auto split = SplitFrames(frames, size);
  for (std::size_t i = 0; i < split.size(); ++i)
    plan.chunks.push_back(Chunk{int(i), split[i], {}, ""});
  MakeCommands(plan);
}

// Blender's frames, output files and frame step for the .blend with ARGS.
Status QueryBlender(const std::string& blender, const std::string& blend,
                    const std::vector<std::string>& job_args, Plan& plan,
                    std::vector<int>& frames) {
  std::vector<std::string> query{blender, "-b", blend};
  query.insert(query.end(), job_args.begin() + 1, job_args.end());
  query.insert(query.end(), {"--python-expr", kBlenderQuery});
  const ProcessResult r = RunProcess(query);
  const std::size_t at = r.out.find("LUMATRICE_FARM ");
  if (!r.started || r.status != 0 || at == std::string::npos)
    return Status::Failed("blender could not open " + blend + ": " +
                          (r.started ? r.err.substr(0, 2000) + r.out.substr(0, 2000) : r.error));
  const Json q = Json::parse(r.out.substr(at + 15, r.out.find('\n', at) - at - 15), nullptr, false);
  if (q.is_discarded() || q["frames"].empty())
    return Status::Failed(blend + ": Blender names no frames to render");
  frames = q["frames"].get<std::vector<int>>();
  plan.files = q["files"].get<std::vector<std::string>>();
  plan.step = q["step"].get<int>();
  if (!FramePattern(plan.files, frames, plan.output))
    return Status::Failed("cannot tell the frame number in Blender's output name " +
                          plan.files.front());
  return Status::Ok();
}

Status PlanBlender(const SubmitArgs& args, const std::vector<std::string>& job_args, Plan& plan,
                   std::vector<int>& frames) {
  if (job_args.empty() || fs::path(job_args.front()).extension() != ".blend")
    return Status::Usage("farm submit: -- blender FILE.blend [ARGS]");
  const std::string blender = FindOnPath("blender");
  if (blender.empty()) return {StatusKind::kNotFound, "blender is not on PATH"};
  const fs::path addon = AddonFolder();
  std::error_code ec;
  if (!fs::exists(addon / "__init__.py", ec))
    return {StatusKind::kNotFound, "no Blender add-on at " + addon.string() + " (build it: make)"};
  const std::string blend = fs::absolute(job_args.front()).lexically_normal().string();
  if (Status s = QueryBlender(blender, blend, job_args, plan, frames); !s) return s;
  if (Status s = IdentifyPrograms(plan, blender); !s) return s;
  plan.args.front() = blend;
  const char* clock = std::getenv("LUMATRICE_CLOCK");
  plan.clock = clock && *clock ? clock : Now();
  const char* start = std::getenv("LUMATRICE_RENDER_START");
  plan.render_start = start && *start ? std::atoi(start) : frames.front();
  if (const char* lib = std::getenv("LUMATRICE_LIBRARY")) plan.env["LUMATRICE_LIBRARY"] = lib;
  PlacePlan(args.name, plan);
  plan.written = frames;
  MakeChunks(plan, frames, args.chunk);
  return Status::Ok();
}

// A movie output is made of segments the report joins; no other stream (a
// movie input's sound) may be copied into it, which each segment would
// carry whole.
Status ReadMovieRun(const Json& manifest, Plan& plan) {
  const Json movie = manifest.at("run").value("movie", Json());
  if (!movie.is_object())
    return Status::Failed("the dry run of the command gave no plan of its movie " + plan.output);
  if (!movie.value("copies_streams_from", std::string()).empty())
    return Status::Usage("farm submit: a movie input stamped into a movie (" + plan.output +
                         ") is not split into chunks; stamp it on one machine, or into a frame "
                         "sequence on the farm");
  plan.movie.codec = movie.value("codec", std::string());
  plan.movie.profile = movie.value("profile", std::string());
  plan.movie.crf = movie.value("crf", -1);
  plan.movie.intra_only = movie.value("intra_only", true);
  return Status::Ok();
}

// The run's output, frames, render start, clock and files, from the
// manifest its dry run printed.
Status ReadDryRun(const std::string& out, Plan& plan, std::vector<int>& frames) {
  const Json manifest = Json::parse(out, nullptr, false);
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
    return Status::Failed(std::string("the dry run of the command gave no plan of its run: ") +
                          e.what());
  }
  if (frames.empty() || plan.files.empty())
    return Status::Failed("the dry run of the command planned no frames");
  if (MoviePlan(plan)) {
    if (Status s = ReadMovieRun(manifest, plan); !s) return s;
  }
  std::sort(plan.written.begin(), plan.written.end());
  return Status::Ok();
}

// A stamp or render: its own dry run checks the command and names its
// output, frames, files, render start and the clock it would run with.
Status PlanLumatrice(const SubmitArgs& args, const std::string& kind,
                     const std::vector<std::string>& job_args, Plan& plan,
                     std::vector<int>& frames) {
  if (Status s = IdentifyPrograms(plan, ""); !s) return s;
  for (const std::string& d : args.plugin_folders)
    plan.plugins.push_back(fs::absolute(d).lexically_normal().string());
  std::vector<std::string> dry{plan.lumatrice.path};
  for (const std::string& d : plan.plugins) dry.insert(dry.end(), {"--plugins", d});
  dry.push_back(kind);
  dry.insert(dry.end(), job_args.begin(), job_args.end());
  dry.insert(dry.end(), {"--dry-run", "--manifest", "-", "-q"});
  const ProcessResult r = RunProcess(dry);
  if (!r.started) return Status::Failed(r.error);
  if (r.status != 0) {
    std::fputs(r.err.c_str(), stderr);
    return Status::Usage("farm submit: the " + kind + " command was refused; nothing submitted");
  }
  if (Status s = ReadDryRun(r.out, plan, frames); !s) return s;
  if (const char* v = std::getenv("LUMATRICE_PLUGIN_PATH")) plan.env["LUMATRICE_PLUGIN_PATH"] = v;
  PlacePlan(args.name, plan);
  MakeChunks(plan, frames, args.chunk);
  return Status::Ok();
}

// The command to submit, checked before anything runs.
Status CheckSubmitArgs(const SubmitArgs& args) {
  if (args.command.empty())
    return Status::Usage("farm submit needs a command: -- stamp|render|blender ARGS...");
  const std::string& kind = args.command.front();
  if (kind != "stamp" && kind != "render" && kind != "blender")
    return Status::Usage("farm submit runs stamp, render or blender, not \"" + kind + "\"");
  const std::vector<std::string> job_args(args.command.begin() + 1, args.command.end());
  for (const char* refused : {"--manifest", "--dry-run"})
    if (HasOption(job_args, refused))
      return Status::Usage(std::string("farm submit: ") + refused +
                           " does not apply to farm chunks");
  if (args.chunk < 1) return Status::Usage("--chunk must be at least 1");
  if (!args.name.empty() && !std::regex_match(args.name, std::regex("[A-Za-z0-9][A-Za-z0-9._-]*")))
    return Status::Usage("--name \"" + args.name + "\": letters, digits, '.', '_' and '-' only");
  return Status::Ok();
}

// The plan's state folder made afresh (and, for Blender, the add-on linked
// into it), unless another plan writes our files or a job of this plan is
// still queued or running.
Status PrepareStateFolder(Slurm& slurm, Plan& plan) {
  if (Status s = CheckOtherPlans(plan); !s) return s;
  std::error_code ec;
  if (fs::exists(plan.path, ec)) {
    Plan old;
    JobStatus s;
    if (LoadPlan(plan.path, old, PlanUse::kRead) && QueryJob(slurm, old, s) &&
        (s.ChunksActive() || SlurmActive(s.report_state)))
      return Status::Failed("farm job " + old.name + " (plan " + plan.path +
                            ") is still queued or running; wait for it or cancel it (scancel " +
                            old.report_job + " and its array) before submitting again");
  }
  fs::remove_all(plan.state_dir, ec);
  fs::create_directories(plan.state_dir, ec);
  if (ec) return {StatusKind::kIo, plan.state_dir + ": " + ec.message()};
  if (plan.kind == "blender") {
    const fs::path addons = plan.env["BLENDER_USER_SCRIPTS"] + "/addons";
    fs::create_directories(addons, ec);
    if (!ec) fs::create_directory_symlink(AddonFolder(), addons / kBlenderAddon, ec);
    if (ec) return {StatusKind::kIo, addons.string() + ": " + ec.message()};
  }
  return Status::Ok();
}

// The plan saved and its chunks submitted; on a failure the plan and its
// folder go again.
Status SavePlanAndSubmit(Slurm& slurm, Plan& plan, int chunk_size, std::size_t frame_count) {
  // The chunks load the plan as a resubmit does; a folder they would refuse
  // is refused here, before anything is queued.
  Plan check;
  Status s = SavePlan(plan);
  if (s) s = LoadPlanToRun(plan.path, check);
  if (s) {
    std::printf("lumatrice farm: %s: %zu frame%s in %zu chunk%s of %d, render start %d, "
                "clock %s\n",
                plan.name.c_str(), frame_count, frame_count == 1 ? "" : "s", plan.chunks.size(),
                plan.chunks.size() == 1 ? "" : "s", chunk_size, plan.render_start,
                plan.clock.c_str());
    std::vector<int> all;
    for (const Chunk& c : plan.chunks) all.push_back(c.index);
    s = SubmitChunks(slurm, plan, all);
  }
  if (!s) {
    std::error_code ec;
    fs::remove(plan.path, ec);
    fs::remove_all(plan.state_dir, ec);
  }
  return s;
}

}  // namespace

int Submit(const SubmitArgs& args) {
  if (Status s = CheckSubmitArgs(args); !s) return Fail(s);
  const std::string& kind = args.command.front();
  const std::vector<std::string> job_args(args.command.begin() + 1, args.command.end());
  Slurm slurm;
  if (Status s = slurm.Available(); !s) return Fail(s);

  Plan plan;
  plan.workdir = fs::current_path().string();
  plan.kind = kind;
  plan.args = job_args;
  plan.created = Now();
  plan.engine = "slurm";
  plan.partition = args.partition;
  std::vector<int> frames;
  if (Status s = kind == "blender" ? PlanBlender(args, job_args, plan, frames)
                                   : PlanLumatrice(args, kind, job_args, plan, frames);
      !s)
    return Fail(s);
  if (Status s = PrepareStateFolder(slurm, plan); !s) return Fail(s);
  if (Status s = SavePlanAndSubmit(slurm, plan, args.chunk, frames.size()); !s) return Fail(s);
  return args.wait ? Wait(slurm, plan) : kExitOk;
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
  if (arrays.empty() || !slurm.Query(arrays, tasks)) return;
  for (const SlurmTask& t : tasks) {
    if (t.task < 0 || !SlurmActive(t.state) ||
        std::find(again.begin(), again.end(), t.task) == again.end())
      continue;
    const std::string id = t.job + "_" + std::to_string(t.task);
    if (id != plan.chunks[std::size_t(t.task)].job) (void)slurm.Cancel(id);
  }
}

}  // namespace

int ShowStatus(const std::string& job, bool wait) {
  Slurm slurm;
  Plan plan;
  if (Status located = LocatePlan(slurm, job, plan, PlanUse::kRead); !located)
    return Fail(located);
  if (Status available = slurm.Available(); !available) return Fail(available);
  if (wait) return Wait(slurm, plan);
  JobStatus s;
  if (Status queried = QueryJob(slurm, plan, s); !queried) return Fail(queried);
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
  return kExitOk;
}

int Resubmit(const std::string& job, bool wait) {
  Slurm slurm;
  Plan plan;
  if (Status located = LocatePlan(slurm, job, plan); !located) return Fail(located);
  if (Status available = slurm.Available(); !available) return Fail(available);
  JobStatus s;
  if (Status queried = QueryJob(slurm, plan, s); !queried) return Fail(queried);
  if (s.ChunksActive())
    return Fail("farm job " + plan.name + ": chunks are still queued or running (" +
                ProgressLine(s) + "); resubmit once they have ended");
  if (SlurmActive(s.report_state)) (void)slurm.Cancel(plan.report_job);
  std::vector<int> again;
  for (std::size_t i = 0; i < s.chunks.size(); ++i)
    if (s.chunks[i].state != ChunkState::kDone) again.push_back(int(i));
  if (again.empty() && ReportStatus(plan, false) >= 0) {
    std::printf("lumatrice farm: %s: every chunk is done; nothing to resubmit\n", plan.name.c_str());
    return kExitOk;
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
  if (Status submitted = SubmitChunks(slurm, plan, again); !submitted) return Fail(submitted);
  return wait ? Wait(slurm, plan) : kExitOk;
}

}  // namespace lumatrice::farm
