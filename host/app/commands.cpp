// render, stamp, scene and plugins.
#include "commands.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <set>

#include "clock.h"
#include "fail.h"
#include "image_io.h"
#include "movie_job.h"
#include "output_lock.h"
#include "pipeline.h"
#include "progress.h"
#include "raster_host.h"
#include "run_hooks.h"
#include "run_plan.h"
#include "text_codec.h"

namespace lumatrice {
namespace fs = std::filesystem;
namespace {

CancelFlags g_cancel;
// While frames flow a cancel is orderly (the frame being stamped dropped,
// finished ones written); in every other phase nothing is half done, so the
// program ends at once.
std::atomic<bool> g_orderly_cancel{false};

extern "C" void OnCancelSignal(int) {
  if (!g_orderly_cancel.load() || g_cancel.abort_writes.load()) {
    static const char kMessage[] = "\nlumatrice: cancelled\n";
    [[maybe_unused]] const ssize_t n = ::write(2, kMessage, sizeof kMessage - 1);
    ::_exit(kExitCancelled);
  }
  // A second Ctrl-C also stops the writes in flight, a third the program.
  if (g_cancel.stop.load()) g_cancel.abort_writes.store(true);
  g_cancel.stop.store(true);
}

// "1-60" for a run of consecutive frames, else "12 frames from 1 to 99".
std::string DescribeFrames(const std::vector<int>& frames) {
  if (frames.empty()) return "no frames";
  bool consecutive = true;
  for (std::size_t i = 1; i < frames.size(); ++i)
    consecutive = consecutive && frames[i] == frames[i - 1] + 1;
  if (frames.size() == 1) return "frame " + std::to_string(frames[0]);
  if (consecutive)
    return "frames " + std::to_string(frames.front()) + "-" + std::to_string(frames.back());
  return "frames " + std::to_string(frames.front()) + " to " + std::to_string(frames.back());
}

}  // namespace

RunOptions RunOptionsOf(const JobArgs& args) {
  RunOptions o;
  o.scene_file = args.scene_file;
  o.scene_path = args.scene_path;
  o.clock = args.clock;
  o.fps = args.fps;
  o.frames = args.frames;
  o.size = args.size;
  return o;
}

namespace {

// The folders the run writes into, each once.
std::vector<std::string> OutputFolders(const SequencePattern& out, const std::vector<int>& frames,
                                       const std::optional<int>& slate_frame) {
  std::set<std::string> folders;
  std::vector<int> all = frames;
  if (slate_frame) all.push_back(*slate_frame);
  for (int f : all) {
    folders.insert(fs::path(out.FileFor(f)).parent_path().string());
    if (!out.has_placeholder()) break;
  }
  return {folders.begin(), folders.end()};
}

// Temporary files that runs killed mid-write left beside these outputs.
void SweepOutputFolders(HostSession& host, const SequencePattern& out,
                        const std::vector<int>& frames, const std::optional<int>& slate_frame) {
  std::vector<std::string> targets;
  for (int f : frames) targets.push_back(fs::path(out.FileFor(f)).filename().string());
  if (slate_frame) targets.push_back(fs::path(out.FileFor(*slate_frame)).filename().string());
  for (const std::string& folder : OutputFolders(out, frames, slate_frame)) {
    const int n = SweepStaleTemporaries(folder, targets);
    if (n > 0)
      host.Notice("lumatrice: removed " + std::to_string(n) + " stale temporary file" +
                  (n == 1 ? "" : "s") + " of killed runs from " + (folder.empty() ? "." : folder));
  }
}

// An effect the scene names but no plug-in gives would leave every frame
// without its captions; a manifest path that names a folder or device
// cannot take the manifest.
Status CheckJob(const Scene& scene, const JobArgs& args) {
  for (std::size_t i = 0; i < scene.items.size(); ++i) {
    if (scene.items[i].effect) continue;
    const EffectEntry& e = scene.items[i].entry;
    return Status::Failed("render effect " + std::to_string(i + 1) + " of the scene (" +
                          (e.class_name.empty() ? std::string("unnamed") : e.class_name) +
                          ", class " + FormatClassID(e.class_a, e.class_b) +
                          ") is not a render effect of any loaded plug-in; its frames would "
                          "lack it (see `lumatrice plugins`)");
  }
  if (!args.manifest.empty() && args.manifest != "-") {
    std::error_code ec;
    const fs::file_status st = fs::status(args.manifest, ec);
    if (fs::exists(st) && !fs::is_regular_file(st))
      return Status::Usage("manifest " + args.manifest +
                           " is not a regular file; give a file name, or - for standard output");
  }
  return Status::Ok();
}

// --dry-run: the manifest of the frames planned, nothing read or written.
int DryRunJob(const PipelineOptions& options, const FrameSizer& sizer, Manifest& manifest,
              const std::string& manifest_path) {
  std::string error;
  if (!DryRun(options.frames, options.render_start, options.prepend_slate, options.output, sizer,
              manifest, error) ||
      !manifest.Write(manifest_path, true, error))
    return Fail(error);
  std::fprintf(manifest_path == "-" ? stderr : stdout,
               "lumatrice: dry run: %zu frame%s planned, nothing read or written%s\n",
               manifest.size(), manifest.size() == 1 ? "" : "s",
               manifest_path == "-" ? "" : ("; manifest " + manifest_path).c_str());
  return kExitOk;
}

// The output folders made, the output locked (held until the process ends,
// however it ends) and stale temporaries of killed runs swept.
Status PrepareOutput(HostSession& host, const JobArgs& args, const SequencePattern& output,
                     const std::vector<int>& frames, const std::optional<int>& slate_frame) {
  if (Status made = MakeOutputFolder(output, frames.front()); !made) return made;
  if (Status made = slate_frame ? MakeOutputFolder(output, *slate_frame) : Status(); !made)
    return made;
  static OutputLock lock;
  std::vector<int> written_frames = frames;
  if (slate_frame) written_frames.push_back(*slate_frame);
  // A lock refused or given up on fails the run like any other failure.
  if (const Status locked = lock.Acquire(output, written_frames, args.wait_lock, &g_cancel.stop,
                                         [&](const std::string& line) { host.Notice(line); });
      !locked)
    return Status::Failed(locked.message());
  SweepOutputFolders(host, output, frames, slate_frame);
  return Status::Ok();
}

// The frames through the pipeline, with the progress display and orderly
// cancelling while they flow; a hook's or the manifest's failure, or every
// frame skipped, fails the run.
PipelineResult RunFrames(HostSession& host, PipelineOptions& options, FrameSource& source,
                         JobHooks& hooks, Manifest* manifest, const std::string& manifest_path,
                         int count, const JobArgs& args) {
  options.hooks = &hooks;
  ProgressDisplay progress(count, !args.quiet);
  host.SetProgress(&progress);
  g_orderly_cancel = true;
  PipelineResult r = RunPipelineToOutput(host, args, options, source, g_cancel, &progress);
  g_orderly_cancel = false;
  progress.Finish();
  host.SetProgress(nullptr);
  std::string error;
  if (!r.failed && !hooks.error().empty()) {
    r.failed = true;
    r.error = hooks.error();
  }
  if (!r.failed && !r.cancelled && manifest && !manifest->Write(manifest_path, false, error)) {
    r.failed = true;
    r.error = error;
  }
  if (!r.failed && !r.cancelled && r.written == 0 && !r.skipped.empty()) {
    r.failed = true;
    r.error = "every frame was skipped";
  }
  return r;
}

// The run's last lines, and its exit status.
int ReportRun(const PipelineResult& r, const std::vector<int>& frames, std::size_t effects,
              FILE* summary, const char* command, const char* verb) {
  const std::string written =
      r.written == 0 ? std::string("no frames written")
                     : std::to_string(r.written) + (r.written == 1 ? " frame" : " frames") +
                           " written (" + r.first_written +
                           (r.written > 1 ? " .. " + r.last_written : "") + ")";
  if (r.failed) {
    Fail(r.error);
    std::fprintf(stderr, "lumatrice: %s failed: %s\n", command, written.c_str());
    return kExitFailed;
  }
  if (r.cancelled) {
    std::fprintf(stderr, "lumatrice: cancelled: %s; the interrupted frame was not written\n",
                 written.c_str());
    return kExitCancelled;
  }
  const double fps = r.seconds > 0 ? r.written / r.seconds : 0.0;
  const std::string where =
      r.first_written != r.last_written ? r.first_written + " .. " + r.last_written
                                        : r.first_written;
  // Frames written by copying their unchanged blocks, and the others.
  std::string paths;
  if (r.spliced > 0)
    paths = "; " + std::to_string(r.spliced) + " spliced (" + std::to_string(r.blocks_copied) +
            " blocks copied, " + std::to_string(r.blocks_encoded) + " encoded), " +
            std::to_string(r.whole) + " encoded whole";
  std::fprintf(summary,
               "lumatrice: %s %s (%dx%d, %zu effect%s) to %s in %.2f s (%.1f frames/s%s)\n", verb,
               DescribeFrames(frames).c_str(), r.width, r.height, effects,
               effects == 1 ? "" : "s", where.c_str(), r.seconds, fps, paths.c_str());
  if (!r.skipped.empty()) {
    std::string list;
    for (std::size_t i = 0; i < r.skipped.size() && i < 10; ++i)
      list += (i ? ", " : "") + std::to_string(r.skipped[i]);
    if (r.skipped.size() > 10) list += ", ...";
    std::fprintf(summary, "lumatrice: %zu frame%s skipped, not written: %s\n", r.skipped.size(),
                 r.skipped.size() == 1 ? "" : "s", list.c_str());
  }
  std::fflush(stdout);
  return kExitOk;
}

// How the run's frames are put through the colour config, as the manifest
// records it.
Json ColourJson(const ColourChoice& c) {
  return Json{{"config", c.config},
              {"colorspace", c.input},
              {"display", c.display},
              {"view", c.view},
              {"caption_space", c.caption_display ? "display" : "scene"}};
}

}  // namespace

int RunJob(HostSession& host, Scene& scene, const JobArgs& args, const std::vector<int>& frames,
           const SequencePattern& output, FrameSource& source, const FrameSizer& sizer,
           const char* command, const char* verb) {
  if (const Status s = CheckJob(scene, args); !s) return Fail(s);
  PipelineOptions options;
  options.frames = frames;
  options.render_start = RenderStart(args.render_start, frames);
  options.output = output;
  options.effects = scene.LiveEffects();
  options.prepend_slate = args.slate == "prepend";
  options.skip_bad_frames = args.skip_bad_frames;
  options.full_reencode = args.full_reencode;
  std::optional<int> slate_frame;
  if (const Status s = PlanSlate(options.prepend_slate, frames, options.render_start, slate_frame);
      !s)
    return Fail(s);
  if (const Status s =
          CheckManifestPath(args.manifest, args.scene_file, output, frames, slate_frame);
      !s)
    return Fail(s);
  std::unique_ptr<ViewTransform> colour;
  if (const Status s = OpenViewTransform(args.colour, colour); !s) return Fail(s);
  options.transform = colour.get();
  std::optional<Manifest> manifest;
  if (!args.manifest.empty() || args.dry_run) {
    manifest.emplace(scene);
    manifest->SetRun(output.text(), frames, options.render_start);
    if (colour) manifest->SetRunOption("colour", ColourJson(colour->choice()));
    if (Json movie = MovieRunJson(args, output.text()); !movie.is_null())
      manifest->SetRunOption("movie", std::move(movie));
  }
  const std::string manifest_path = args.manifest.empty() ? "-" : args.manifest;
  if (args.dry_run) return DryRunJob(options, sizer, *manifest, manifest_path);
  if (const Status s = PrepareOutput(host, args, output, frames, slate_frame); !s) return Fail(s);
  const std::string first_file = output.FileFor(frames.front());
  if (IsMoviePath(first_file) ? !MovieKeepsMarker(first_file) : !FormatKeepsMarker(first_file))
    host.Notice("lumatrice: warning: " + fs::path(first_file).extension().string() +
                " files cannot hold the stamp marker; these frames will not show as stamped");
  JobHooks hooks(scene, MarkerSource(scene, EffectVersions(host, scene)),
                 !FormatKeepsAttributes(first_file), manifest ? &*manifest : nullptr, output);
  const PipelineResult r =
      RunFrames(host, options, source, hooks, manifest ? &*manifest : nullptr, manifest_path,
                int(frames.size()) + (slate_frame ? 1 : 0), args);
  // With the manifest on standard output, the summary must not join it.
  FILE* summary = manifest && manifest_path == "-" ? stderr : stdout;
  return ReportRun(r, frames, options.effects.size(), summary, command, verb);
}

namespace {

Status ApplySettingsArgs(const SettingsArgs& a, SceneSettings& s) {
  std::string error;
  if (a.fps) {
    if (*a.fps <= 0 || 4800 % *a.fps != 0)
      return Status::Usage("frame rate " + std::to_string(*a.fps) +
                           " must divide 4800 (e.g. 24, 25, 30, 60)");
    s.frame_rate = *a.fps;
  }
  if (!a.time_display.empty() && !ParseTimeDisplay(a.time_display, s.time_display))
    return Status::Usage("time display \"" + a.time_display +
                         "\" is not one of frames, smpte, frame:ticks, mm:ss:ticks");
  if (a.scene_path) s.scene_path = *a.scene_path;
  if (a.clock) {
    SYSTEMTIME st;
    if (!a.clock->empty() && !ParseClock(*a.clock, st, error)) return Status::Usage(error);
    s.clock = *a.clock;
  }
  if (a.frames) {
    std::vector<int> probe;
    if (!a.frames->empty() && !ParseFrameRange(*a.frames, probe, error))
      return Status::Usage(error);
    s.frames = *a.frames;
  }
  if (a.size) {
    if (a.size->empty())
      s.width = s.height = 0;
    else if (!ParseFrameSize(*a.size, s.width, s.height, error))
      return Status::Usage(error);
  }
  return Status::Ok();
}

}  // namespace

void InstallCancelHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnCancelSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

Status OpenRenderScene(HostSession& host, const JobArgs& args, bool demo, Scene& scene,
                       RunPlan& plan) {
  std::string error;
  if (!host.OpenScene(args.scene_file, demo && args.scene_file.empty(), scene, error))
    return Status::Failed(error);
  if (!ApplyParameterSets(scene, args.sets, std::nullopt, std::nullopt, error))
    return Status::Usage(error);
  const RunOptions options = RunOptionsOf(args);
  if (Status applied = ApplyHostSettings(options, scene.settings); !applied) return applied;
  return PlanFrames(options, scene.settings, plan);
}

int RunRender(HostSession& host, const JobArgs& args) {
  Scene scene;
  RunPlan plan;
  if (const Status s = OpenRenderScene(host, args, true, scene, plan); !s) return Fail(s);
  const std::vector<int>& frames = plan.frames;
  SequencePattern output;
  if (const Status s = ParseJobOutput(args, frames, output); !s) return Fail(s);
  if (const Status s = CheckOutputSparesScene(
          output, WrittenFrames(frames, args.render_start, args.slate == "prepend"),
          args.scene_file);
      !s)
    return Fail(s);
  const int width = plan.width, height = plan.height;
  ProceduralSource source(width, height, hostsdk::FrameRate());
  const FrameSizer sizer = [&](int, int& w, int& h, std::string&) {
    w = width;
    h = height;
    return true;
  };
  return RunJob(host, scene, args, frames, output, source, sizer, "render", "rendered");
}

namespace {

// The input pattern and the frames to stamp: the command line's, the
// pattern's own range, else those on disk.
Status StampInput(const JobArgs& args, SequencePattern& input, std::vector<int>& frames) {
  std::string error;
  if (!input.Parse(args.input, error)) return Status::Usage("input: " + error);
  if (!args.frames.empty() || !input.embedded_range().empty()) {
    if (Status resolved = ResolveFrames(args.frames, input.embedded_range(), frames); !resolved)
      return resolved;
  } else if (input.has_placeholder()) {
    frames = input.ScanExisting();
    if (frames.empty()) return Status::Failed("input: no files match \"" + args.input + "\"");
  } else {
    frames = {1};
  }
  if (!input.has_placeholder() && frames.size() > 1)
    return Status::Usage("input \"" + args.input + "\" is one file; give a frame pattern for " +
                         std::to_string(frames.size()) + " frames");
  return Status::Ok();
}

// Every input frame there and readable, unless --skip-bad-frames. A name
// that is there but is no image file (a folder, a link loop, a FIFO) is an
// unreadable frame, told apart from a missing one.
Status CheckStampInputs(const JobArgs& args, const SequencePattern& input,
                        const std::vector<int>& frames) {
  if (args.skip_bad_frames) return Status::Ok();
  std::vector<int> missing, unreadable;
  std::string first_unreadable;
  for (int f : frames) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(input.FileFor(f), ec))) {
      missing.push_back(f);
    } else if (Status found = CheckInputFile(input.FileFor(f)); !found) {
      if (unreadable.empty()) first_unreadable = found.message();
      unreadable.push_back(f);
    }
  }
  auto listed = [](const std::vector<int>& list) {
    std::string text;
    for (std::size_t i = 0; i < list.size() && i < 5; ++i)
      text += (i ? ", " : "") + std::to_string(list[i]);
    return list.size() > 5 ? text + ", ..." : text;
  };
  if (!missing.empty())
    return Status::Failed("input: " + std::to_string(missing.size()) + " of " +
                          std::to_string(frames.size()) + " frames missing (" + listed(missing) +
                          "), e.g. " + input.FileFor(missing.front()) +
                          " (--skip-bad-frames passes over them)");
  if (!unreadable.empty())
    return Status::Failed("input: " + std::to_string(unreadable.size()) + " of " +
                          std::to_string(frames.size()) + " frames unreadable (" +
                          listed(unreadable) + "), e.g. " + first_unreadable +
                          " (--skip-bad-frames passes over them)");
  return Status::Ok();
}

}  // namespace

int RunStamp(HostSession& host, const JobArgs& args) {
  if (IsMoviePath(args.input)) return RunStampMovie(host, args);
  SequencePattern input;
  std::vector<int> frames;
  if (const Status s = StampInput(args, input, frames); !s) return Fail(s);
  if (const Status s = CheckStampInputs(args, input, frames); !s) return Fail(s);
  std::string error;
  if (args.output.empty()) return Fail("stamp needs an output: -o PATTERN", StatusKind::kUsage);
  SequencePattern output;
  if (const Status s = ParseJobOutput(args, frames, output); !s) return Fail(s);

  // Never write over an input, whatever the spelling or link.
  std::vector<std::string> inputs;
  for (int f : frames) inputs.push_back(input.FileFor(f));
  if (!args.scene_file.empty()) inputs.push_back(args.scene_file);
  if (const Status s = CheckOutputSparesInputs(
          output, WrittenFrames(frames, args.render_start, args.slate == "prepend"), inputs,
          args.manifest);
      !s)
    return Fail(s);

  if (Status fresh = args.allow_restamp ? Status()
                                        : CheckNotStamped(input, frames, args.skip_bad_frames);
      !fresh)
    return Fail(fresh.message());

  Scene scene;
  if (!host.OpenScene(args.scene_file, false, scene, error)) return Fail(error);
  if (!ApplyParameterSets(scene, args.sets, std::nullopt, std::nullopt, error))
    return Fail(error, StatusKind::kUsage);
  if (Status applied = ApplyHostSettings(RunOptionsOf(args), scene.settings); !applied)
    return Fail(applied);
  SequenceSource source(input, !args.full_reencode && !IsMoviePath(output.text()));
  const FrameSizer sizer = [&](int frame, int& w, int& h, std::string& why) {
    return HeaderSize(input.FileFor(frame), w, h, why);
  };
  return RunJob(host, scene, args, frames, output, source, sizer, "stamp", "stamped");
}

int RunSceneNew(HostSession& host, const SceneArgs& args) {
  std::error_code ec;
  if (fs::exists(args.file, ec) && !args.force)
    return Fail(args.file + ": already exists (use --force to replace it)");
  Scene scene;
  std::string error;
  if (!args.empty) {
    ClassDesc* cd = host.LumatriceClass();
    if (!cd) return Fail("the Lumatrice effect is not among the loaded plug-ins");
    if (!scene.AddEffect(cd, error)) return Fail(error);
  }
  if (const Status s = ApplySettingsArgs(args.settings, scene.settings); !s) return Fail(s);
  if (!ApplyParameterSets(scene, args.sets, args.effect, std::nullopt, error))
    return Fail(error, StatusKind::kUsage);
  if (!scene.Save(args.file, error)) return Fail(error);
  std::printf("lumatrice: created %s with %zu render effect%s\n", args.file.c_str(),
              scene.items.size(), scene.items.size() == 1 ? "" : "s");
  return kExitOk;
}

int RunSceneShow(HostSession& host, const SceneArgs& args) {
  Scene scene;
  std::string error;
  if (!host.OpenScene(args.file, false, scene, error)) return Fail(error);
  if (args.json) {
    std::string text;
    if (!scene.Serialize(text, error)) return Fail(error);
    std::fputs(text.c_str(), stdout);
    return kExitOk;
  }
  const SceneSettings& s = scene.settings;
  hostsdk::SetFrameRate(s.frame_rate);
  std::printf("%s\n", args.file.c_str());
  std::printf("  frame rate     %d fps\n", s.frame_rate);
  std::printf("  time display   %s\n", TimeDisplayName(s.time_display));
  std::printf("  scene path     %s\n",
              s.scene_path.empty() ? "(this file's own path)" : s.scene_path.c_str());
  std::printf("  clock          %s\n", s.clock.empty() ? "live" : s.clock.c_str());
  std::printf("  render frames  %s\n", s.frames.empty() ? "(default 1-60)" : s.frames.c_str());
  if (s.width > 0)
    std::printf("  render size    %dx%d\n", s.width, s.height);
  else
    std::printf("  render size    (default %dx%d)\n", kDefaultWidth, kDefaultHeight);
  std::printf("  render effects %zu\n", scene.items.size());
  for (std::size_t i = 0; i < scene.items.size(); ++i) {
    const Scene::Item& item = scene.items[i];
    const EffectEntry& e = item.entry;
    std::printf("  %zu. %s  class %s\n", i + 1,
                e.class_name.empty() ? "(unnamed)" : e.class_name.c_str(),
                FormatClassID(e.class_a, e.class_b).c_str());
    if (!item.effect) {
      std::printf("       no loaded plug-in offers this class: kept unchanged, skipped in renders\n");
      continue;
    }
    ParamBlock2* block = BlockOf(item.effect, e.block_id);
    ParamBlockDesc2* desc = block ? block->GetDesc() : nullptr;
    for (int p = 0; desc && p < desc->Count(); ++p) {
      const ParamDef* def = desc->GetParamDef(p);
      std::printf("       %-26s %s\n", def->int_name, ParamToText(*block, *def).c_str());
    }
  }
  return kExitOk;
}

int RunSceneSet(HostSession& host, const SceneArgs& args) {
  Scene scene;
  std::string error;
  if (!host.OpenScene(args.file, false, scene, error)) return Fail(error);
  if (const Status s = ApplySettingsArgs(args.settings, scene.settings); !s) return Fail(s);
  std::optional<TimeValue> at;
  if (args.at_frame) {
    const std::int64_t t = std::int64_t(*args.at_frame) * (4800 / scene.settings.frame_rate);
    if (t < INT32_MIN + 1 || t > INT32_MAX) return Fail("--at frame out of range", StatusKind::kUsage);
    at = TimeValue(t);
  }
  if (!ApplyParameterSets(scene, args.sets, args.effect, at, error)) return Fail(error, StatusKind::kUsage);
  if (!scene.Save(args.file, error)) return Fail(error);
  std::printf("lumatrice: saved %s\n", args.file.c_str());
  return kExitOk;
}

int RunPlugins(HostSession& host) {
  const auto& loader = host.loader();
  std::printf("plug-in folders:");
  for (const std::string& f : host.Folders()) std::printf(" %s", f.c_str());
  std::printf("\n");
  for (const auto& m : loader.Modules()) {
    std::printf("\n%s\n", m.path.c_str());
    std::printf("  description   %s\n", m.description.c_str());
    std::printf("  SDK version   %u.%u.%u (0x%08x)\n", unsigned(pluginloader::SdkRelease(m.version)),
                unsigned(pluginloader::SdkApi(m.version)),
                unsigned(pluginloader::SdkRevision(m.version)), unsigned(m.version));
    if (m.version_info) {
      for (const char16_t* key : {u"FileDescription", u"FileVersion", u"ProductName",
                                  u"ProductVersion", u"CompanyName", u"LegalCopyright",
                                  u"OriginalFilename"}) {
        if (const std::string v = ModuleVersionValue(m, key); !v.empty())
          std::printf("  %-16s%s\n", Utf16ToUtf8(key).c_str(), v.c_str());
      }
    } else {
      std::printf("  version record (none)\n");
    }
    std::printf("  classes       %zu\n", m.classes.size());
    for (ClassDesc* cd : m.classes) {
      if (!cd) continue;
      const std::string name = cd->ClassName() ? cd->ClassName() : "";
      const std::string category = cd->Category() ? cd->Category() : "";
      const Class_ID id = cd->ClassID();
      const SClass_ID super = cd->SuperClassID();
      std::printf("    %s  %s (superclass 0x%04x)  class %s  category \"%s\"%s\n", name.c_str(),
                  super == RENDER_EFFECT_CLASS_ID ? "render effect" : "other",
                  unsigned(super), FormatClassID(id.PartA(), id.PartB()).c_str(),
                  category.c_str(), cd->IsPublic() ? "" : "  (not public)");
    }
  }
  if (loader.Modules().empty()) std::printf("\nno plug-in modules loaded\n");
  if (!loader.Refused().empty()) {
    std::printf("\nrefused:\n");
    for (const auto& r : loader.Refused()) std::printf("  %s: %s\n", r.path.c_str(), r.reason.c_str());
  }
  return kExitOk;
}

}  // namespace lumatrice
