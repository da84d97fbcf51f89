// lumatrice: the host program. Renders its procedural stand-in scene or
// stamps existing frame sequences through the scene's render effects, and
// creates, shows and edits scene files.
#include <csignal>
#include <cstdio>
#include <exception>

#include <CLI/CLI.hpp>

#include "blender_install.h"
#include "frei0r_install.h"
#include "commands.h"
#include "edit_launch.h"
#include "fail.h"
#include "farm_cli.h"
#include "movie_options.h"

using namespace lumatrice;

namespace {

void AddJobOptions(CLI::App* cmd, JobArgs& a) {
  cmd->add_option("--frames", a.frames, "frames to do: 7, 1-100, 1-100x2, 1-10,20-30");
  cmd->add_option("--render-start", a.render_start,
                  "the render's first frame, which gets the opening slate "
                  "(default: the first of --frames); give it to every chunk of a farm render");
  cmd->add_option("--set", a.sets, "set a parameter by internal name: --set \"Display Date=on\"")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  cmd->add_option("--scene-path", a.scene_path,
                  "scene file path shown by the effect (default: the scene file, else Untitled)");
  cmd->add_option("--clock", a.clock,
                  "pin the effect's clock for the whole run, ISO-8601: 2002-03-07T09:05:03");
  cmd->add_option_function<std::string>(
         "--fps",
         [&a](const std::string& text) {
           // A whole number goes on as given, for the host's own check.
           if (std::size_t end = 0; !text.empty() && text.find_first_not_of("-0123456789") ==
                                                          std::string::npos) {
             try {
               a.fps = std::stoi(text, &end);
               return;
             } catch (const std::exception&) {
             }
           }
           AVRational rate;
           if (!ParseFrameRateText(text, rate))
             throw CLI::ValidationError("--fps", "\"" + text + "\" is not a frame rate");
           a.fps = RoundedRate(rate);
           a.movie.rate = text;
         },
         "frame rate for frame times (must divide 4800); a movie keeps an exact rate such as "
         "24000/1001, frame times the whole rate")
      ->type_name("RATE");
  cmd->add_flag("-q,--quiet", a.quiet, "no progress display");
}

void AddMovieOptions(CLI::App* cmd, JobArgs& a) {
  cmd->add_option("--codec", a.movie.codec, "movie output: prores (default), dnxhr, h264");
  cmd->add_option("--profile", a.movie.profile,
                  "prores: proxy lt standard hq (default) 4444 4444xq; dnxhr: lb sq hq "
                  "(default) hqx 444; h264: high (4:2:0, default) high444");
  cmd->add_option("--crf", a.movie.crf, "h264 quality, 0 (lossless) to 51 (default 18)");
  cmd->add_option("--start-timecode", a.movie.start_timecode,
                  "timecode of the movie's first frame, HH:MM:SS:FF (default: from its frame "
                  "number, or the input movie's)");
  // Set by `lumatrice farm` on each chunk of a movie output.
  cmd->add_option("--farm-segment", a.farm_segment,
                  "write this chunk's frames of the movie output to this segment movie")
      ->group("");
}

void AddSlateOption(CLI::App* cmd, JobArgs& a) {
  cmd->add_option("--slate", a.slate,
                  "replace: the slate takes the render's first frame (default); prepend: the "
                  "slate is written as the frame before it, which keeps its captions")
      ->check(CLI::IsMember({"replace", "prepend"}));
}

void AddManifestOptions(CLI::App* cmd, JobArgs& a) {
  cmd->add_flag("--wait-lock", a.wait_lock,
                "when another run is writing the same output, wait for it instead of "
                "refusing at once");
  cmd->add_option("--manifest", a.manifest,
                  "write the caption lines, boxes and reference points of every frame as "
                  "JSON (\"-\": standard output)")
      ->type_name("FILE.json");
  cmd->add_flag("--dry-run", a.dry_run,
                "only plan: write the manifest (default to standard output), read and write "
                "no image");
  AddSlateOption(cmd, a);
}

void AddColourOptions(CLI::App* cmd, ColourOptions& c) {
  cmd->add_option("--ocio", c.config,
                  "OpenColorIO config (default: $OCIO, else the one shipped with lumatrice)")
      ->type_name("FILE");
  cmd->add_option("--colorspace", c.colorspace,
                  "colour space of the input frames (default: the config's scene_linear for "
                  "float frames; integer frames are taken as display-referred)");
  cmd->add_option("--display", c.display,
                  "convert the frames to this display before the captions are drawn "
                  "(default with --view: the config's first)");
  cmd->add_option("--view", c.view, "the display's view (default: its first)");
  cmd->add_option_function<std::string>(
         "--caption-space", [&c](const std::string& v) { c.caption_display = v == "display"; },
         "scene: the effect's values as they are (default); display: float frames stay "
         "scene-linear and the drawn pixels take the values the view turns into the effect's "
         "colours")
      ->check(CLI::IsMember({"scene", "display"}))
      ->type_name("scene|display");
}

void AddSettingsOptions(CLI::App* cmd, SettingsArgs& s) {
  cmd->add_option("--fps", s.fps, "frame rate (must divide 4800)");
  cmd->add_option("--time-display", s.time_display,
                  "how frame times are shown: frames, smpte, frame:ticks, mm:ss:ticks");
  cmd->add_option("--scene-path", s.scene_path, "scene path shown by the effect (\"\" = the file)");
  cmd->add_option("--clock", s.clock, "pinned clock, ISO-8601 (\"\" = live)");
  cmd->add_option("--frames", s.frames, "default frame range of render (\"\" = 1-60)");
  cmd->add_option("--size", s.size, "default size of render, WIDTHxHEIGHT (\"\" = 1280x720)");
}

// Every command's options, filled in by the parse.
struct Cli {
  std::vector<std::string> plugin_folders;
  JobArgs render_args, stamp_args;
  SceneArgs new_args, show_args, set_args;
  VerifyArgs verify_args;
  PreflightArgs preflight_args;
  EditArgs edit_args;
  BlenderInstallArgs blender_args;
  Frei0rInstallArgs frei0r_args;
  FarmCli farm;
  CLI::App *render = nullptr, *stamp = nullptr;
  CLI::App *scene_new = nullptr, *scene_show = nullptr, *scene_set = nullptr;
  CLI::App *plugins = nullptr, *verify = nullptr, *preflight = nullptr, *edit = nullptr;
  CLI::App *blender_install = nullptr, *frei0r_install = nullptr;
};

void AddRenderCommands(CLI::App& app, Cli& c) {
  JobArgs& r = c.render_args;
  c.render = app.add_subcommand(
      "render", "render the procedural scene, apply the scene's effects, write the frames");
  c.render->add_option("scene", r.scene_file, "scene file (default: the built-in demo scene)");
  c.render->add_option("-o,--output", r.output,
                       "output pattern (default lumatrice-out/frame.#.png)");
  c.render->add_option("--size", r.size, "frame size WIDTHxHEIGHT (default 1280x720)");
  AddJobOptions(c.render, r);
  AddManifestOptions(c.render, r);
  AddMovieOptions(c.render, r);
  AddColourOptions(c.render, r.colour);

  JobArgs& s = c.stamp_args;
  c.stamp =
      app.add_subcommand("stamp", "stamp an existing frame sequence as if it were the render");
  c.stamp->add_option("input", s.input, "input frames: shot.#.exr (four digits), shot.@@@.exr, shot.%05d.exr, one file")
      ->required();
  c.stamp->add_option("scene", s.scene_file,
                      "scene file (default: one Lumatrice effect with its defaults)");
  c.stamp->add_option("-o,--output", s.output, "output pattern")->required();
  AddJobOptions(c.stamp, s);
  AddManifestOptions(c.stamp, s);
  AddMovieOptions(c.stamp, s);
  AddColourOptions(c.stamp, s.colour);
  c.stamp->add_flag("--allow-restamp", s.allow_restamp,
                    "stamp input frames even when they already carry captions from lumatrice");
  c.stamp->add_flag("--skip-bad-frames", s.skip_bad_frames,
                    "pass over missing, truncated or corrupt input frames (a warning each) "
                    "instead of stopping the run");
  c.stamp->add_flag("--full-reencode", s.full_reencode,
                    "decode and encode every frame whole, even where its unchanged blocks "
                    "could be copied as they are");
}

void AddSceneCommands(CLI::App& app, Cli& c) {
  CLI::App* scene = app.add_subcommand("scene", "create, show and edit scene files");
  scene->require_subcommand(1);
  c.scene_new = scene->add_subcommand("new", "create a scene file");
  c.scene_new->add_option("file", c.new_args.file, "scene file")->required();
  c.scene_new->add_option("sets", c.new_args.sets, "parameters NAME=VALUE");
  c.scene_new->add_flag("--force", c.new_args.force, "replace an existing file");
  c.scene_new->add_flag("--empty", c.new_args.empty, "no render effects");
  AddSettingsOptions(c.scene_new, c.new_args.settings);
  c.scene_show = scene->add_subcommand("show", "print a scene file");
  c.scene_show->add_option("file", c.show_args.file, "scene file")->required();
  c.scene_show->add_flag("--json", c.show_args.json, "print the file as it would be saved");
  c.scene_set = scene->add_subcommand("set", "change parameters and settings of a scene");
  c.scene_set->add_option("file", c.set_args.file, "scene file")->required();
  c.scene_set->add_option("sets", c.set_args.sets, "parameters NAME=VALUE");
  c.scene_set->add_option("--effect", c.set_args.effect, "only render effect N (1-based)");
  c.scene_set->add_option("--at", c.set_args.at_frame,
                          "key animatable switches at this frame instead of setting them");
  AddSettingsOptions(c.scene_set, c.set_args.settings);
  c.plugins = app.add_subcommand("plugins", "list the plug-in modules and their classes");
}

void AddCheckCommands(CLI::App& app, Cli& c) {
  VerifyArgs& v = c.verify_args;
  c.verify = app.add_subcommand(
      "verify", "list which frames carry lumatrice's stamp marker, with the recorded settings");
  c.verify->add_option("input", v.input, "frames: shot.#.exr, shot.%04d.png, one file")
      ->required();
  c.verify->add_option("--frames", v.frames, "frames to check (default: those on disk)");
  c.verify->add_flag("--clean", v.clean,
                     "succeed only when no frame is stamped (a final without burned-in captions)");
  c.verify->add_flag("--json", v.json, "print the result as JSON");

  PreflightArgs& p = c.preflight_args;
  c.preflight = app.add_subcommand(
      "preflight", "report captions that would be clipped, cut or overlapped at a frame size");
  c.preflight->add_option("scene", p.job.scene_file,
                          "scene file (default: one Lumatrice effect with its defaults)");
  c.preflight->add_option("--size", p.job.size,
                          "frame size WIDTHxHEIGHT (default: the scene's, else 1280x720)");
  AddJobOptions(c.preflight, p.job);
  AddSlateOption(c.preflight, p.job);
  c.preflight->add_flag("--json", p.json, "print the findings as JSON");
}

void AddToolCommands(CLI::App& app, Cli& c) {
  c.edit = app.add_subcommand("edit", "edit a scene's render effects in a window (Qt)");
  c.edit->add_option("scene", c.edit_args.scene,
                     "scene file (default: a new scene with one Lumatrice effect)");
  c.edit->add_option("--screenshot", c.edit_args.screenshot,
                     "save a picture of the window to this PNG and quit (works without a display)")
      ->type_name("PNG");

  CLI::App* blender = app.add_subcommand("blender", "the Blender add-on");
  c.blender_install =
      blender->add_subcommand("install", "copy the add-on into a Blender user's add-on folder");
  blender->require_subcommand(1);
  c.blender_install->add_option("--addons", c.blender_args.addons,
                                "the add-on folder (default: $BLENDER_USER_SCRIPTS/addons, else "
                                "~/.config/blender/VERSION/scripts/addons)")
      ->type_name("DIR");
  c.blender_install->add_option("--blender-version", c.blender_args.blender_version,
                                "Blender's version folder (default 3.4)");
  CLI::App* frei0r = app.add_subcommand("frei0r", "the frei0r filter (ffmpeg, MLT, GStreamer)");
  c.frei0r_install = frei0r->add_subcommand(
      "install", "copy the filter into a folder frei0r hosts search");
  frei0r->require_subcommand(1);
  c.frei0r_install->add_option("--lib", c.frei0r_args.lib,
                               "the frei0r plug-in folder (default ~/.frei0r-1/lib); what the "
                               "filter loads goes to its sibling lumatrice/")
      ->type_name("DIR");
  AddFarmCommands(app, c.farm);
}

// The commands that run with the plug-ins loaded.
int RunHostCommand(const Cli& c) {
  try {
    InstallCancelHandlers();
    HostSession host;
    host.LoadPlugins(c.plugin_folders);
    if (*c.render) return RunRender(host, c.render_args);
    if (*c.stamp) return RunStamp(host, c.stamp_args);
    if (*c.scene_new) return RunSceneNew(host, c.new_args);
    if (*c.scene_show) return RunSceneShow(host, c.show_args);
    if (*c.scene_set) return RunSceneSet(host, c.set_args);
    if (*c.plugins) return RunPlugins(host);
    if (*c.verify) return RunVerify(c.verify_args);
    if (*c.preflight) return RunPreflight(host, c.preflight_args);
    return kExitOk;
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A file-size limit must fail the write and leave the target alone, not
  // kill the process halfway through a frame.
  ::signal(SIGXFSZ, SIG_IGN);
  CLI::App app{"lumatrice: renders and stamps frame sequences with the scene's render effects"};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "help for every command");
  app.set_version_flag("--version", "lumatrice " LUMATRICE_VERSION);
  Cli cli;
  app.add_option("--plugins", cli.plugin_folders,
                 "extra plug-in folder (besides the program's own and LUMATRICE_PLUGIN_PATH)")
      ->type_name("DIR")
      ->allow_extra_args(false);
  AddRenderCommands(app, cli);
  AddSceneCommands(app, cli);
  AddCheckCommands(app, cli);
  AddToolCommands(app, cli);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    std::string what = e.what();
    for (char& c : what)
      if (c == '\n') c = ' ';
    return Fail(what + " (see lumatrice --help-all)", StatusKind::kUsage);
  }

  // The editor loads its own plug-ins and Qt; nothing else is needed.
  if (*cli.edit) return RunEdit(argv[0], cli.edit_args, cli.plugin_folders);
  if (*cli.blender_install) return RunBlenderInstall(cli.blender_args);
  if (*cli.frei0r_install) return RunFrei0rInstall(cli.frei0r_args);
  // The farm runs lumatrice itself in subprocesses; it loads no plug-in.
  if (const int status = RunFarmCommand(cli.farm, cli.plugin_folders); status >= 0)
    return status;
  return RunHostCommand(cli);
}
