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
#include "farm_cli.h"

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
  cmd->add_option("--fps", a.fps, "frame rate for frame times (must divide 4800)");
  cmd->add_flag("-q,--quiet", a.quiet, "no progress display");
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

void AddSettingsOptions(CLI::App* cmd, SettingsArgs& s) {
  cmd->add_option("--fps", s.fps, "frame rate (must divide 4800)");
  cmd->add_option("--time-display", s.time_display,
                  "how frame times are shown: frames, smpte, frame:ticks, mm:ss:ticks");
  cmd->add_option("--scene-path", s.scene_path, "scene path shown by the effect (\"\" = the file)");
  cmd->add_option("--clock", s.clock, "pinned clock, ISO-8601 (\"\" = live)");
  cmd->add_option("--frames", s.frames, "default frame range of render (\"\" = 1-60)");
  cmd->add_option("--size", s.size, "default size of render, WIDTHxHEIGHT (\"\" = 1280x720)");
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
  std::vector<std::string> plugin_folders;
  app.add_option("--plugins", plugin_folders,
                 "extra plug-in folder (besides the program's own and LUMATRICE_PLUGIN_PATH)")
      ->type_name("DIR")
      ->allow_extra_args(false);

  JobArgs render_args;
  CLI::App* render = app.add_subcommand(
      "render", "render the procedural scene, apply the scene's effects, write the frames");
  render->add_option("scene", render_args.scene_file,
                     "scene file (default: the built-in demo scene)");
  render->add_option("-o,--output", render_args.output,
                     "output pattern (default lumatrice-out/frame.#.png)");
  render->add_option("--size", render_args.size, "frame size WIDTHxHEIGHT (default 1280x720)");
  AddJobOptions(render, render_args);
  AddManifestOptions(render, render_args);

  JobArgs stamp_args;
  CLI::App* stamp =
      app.add_subcommand("stamp", "stamp an existing frame sequence as if it were the render");
  stamp->add_option("input", stamp_args.input, "input frames: shot.#.exr (four digits), shot.@@@.exr, shot.%05d.exr, one file")
      ->required();
  stamp->add_option("scene", stamp_args.scene_file,
                    "scene file (default: one Lumatrice effect with its defaults)");
  stamp->add_option("-o,--output", stamp_args.output, "output pattern")->required();
  AddJobOptions(stamp, stamp_args);
  AddManifestOptions(stamp, stamp_args);
  stamp->add_flag("--allow-restamp", stamp_args.allow_restamp,
                  "stamp input frames even when they already carry captions from lumatrice");
  stamp->add_flag("--skip-bad-frames", stamp_args.skip_bad_frames,
                  "pass over missing, truncated or corrupt input frames (a warning each) "
                  "instead of stopping the run");
  stamp->add_flag("--full-reencode", stamp_args.full_reencode,
                  "decode and encode every frame whole, even where its unchanged blocks "
                  "could be copied as they are");

  CLI::App* scene = app.add_subcommand("scene", "create, show and edit scene files");
  scene->require_subcommand(1);
  SceneArgs new_args, show_args, set_args;
  CLI::App* scene_new = scene->add_subcommand("new", "create a scene file");
  scene_new->add_option("file", new_args.file, "scene file")->required();
  scene_new->add_option("sets", new_args.sets, "parameters NAME=VALUE");
  scene_new->add_flag("--force", new_args.force, "replace an existing file");
  scene_new->add_flag("--empty", new_args.empty, "no render effects");
  AddSettingsOptions(scene_new, new_args.settings);
  CLI::App* scene_show = scene->add_subcommand("show", "print a scene file");
  scene_show->add_option("file", show_args.file, "scene file")->required();
  scene_show->add_flag("--json", show_args.json, "print the file as it would be saved");
  CLI::App* scene_set = scene->add_subcommand("set", "change parameters and settings of a scene");
  scene_set->add_option("file", set_args.file, "scene file")->required();
  scene_set->add_option("sets", set_args.sets, "parameters NAME=VALUE");
  scene_set->add_option("--effect", set_args.effect, "only render effect N (1-based)");
  scene_set->add_option("--at", set_args.at_frame,
                        "key animatable switches at this frame instead of setting them");
  AddSettingsOptions(scene_set, set_args.settings);

  CLI::App* plugins = app.add_subcommand("plugins", "list the plug-in modules and their classes");

  VerifyArgs verify_args;
  CLI::App* verify = app.add_subcommand(
      "verify", "list which frames carry lumatrice's stamp marker, with the recorded settings");
  verify->add_option("input", verify_args.input, "frames: shot.#.exr, shot.%04d.png, one file")
      ->required();
  verify->add_option("--frames", verify_args.frames, "frames to check (default: those on disk)");
  verify->add_flag("--clean", verify_args.clean,
                   "succeed only when no frame is stamped (a final without burned-in captions)");
  verify->add_flag("--json", verify_args.json, "print the result as JSON");

  PreflightArgs preflight_args;
  CLI::App* preflight = app.add_subcommand(
      "preflight", "report captions that would be clipped, cut or overlapped at a frame size");
  preflight->add_option("scene", preflight_args.job.scene_file,
                        "scene file (default: one Lumatrice effect with its defaults)");
  preflight->add_option("--size", preflight_args.job.size,
                        "frame size WIDTHxHEIGHT (default: the scene's, else 1280x720)");
  AddJobOptions(preflight, preflight_args.job);
  AddSlateOption(preflight, preflight_args.job);
  preflight->add_flag("--json", preflight_args.json, "print the findings as JSON");

  EditArgs edit_args;
  CLI::App* edit = app.add_subcommand("edit", "edit a scene's render effects in a window (Qt)");
  edit->add_option("scene", edit_args.scene,
                   "scene file (default: a new scene with one Lumatrice effect)");
  edit->add_option("--screenshot", edit_args.screenshot,
                   "save a picture of the window to this PNG and quit (works without a display)")
      ->type_name("PNG");

  BlenderInstallArgs blender_args;
  CLI::App* blender = app.add_subcommand("blender", "the Blender add-on");
  CLI::App* blender_install =
      blender->add_subcommand("install", "copy the add-on into a Blender user's add-on folder");
  blender->require_subcommand(1);
  blender_install->add_option("--addons", blender_args.addons,
                              "the add-on folder (default: $BLENDER_USER_SCRIPTS/addons, else "
                              "~/.config/blender/VERSION/scripts/addons)")
      ->type_name("DIR");
  blender_install->add_option("--blender-version", blender_args.blender_version,
                              "Blender's version folder (default 3.4)");
  Frei0rInstallArgs frei0r_args;
  CLI::App* frei0r = app.add_subcommand("frei0r", "the frei0r filter (ffmpeg, MLT, GStreamer)");
  CLI::App* frei0r_install = frei0r->add_subcommand(
      "install", "copy the filter into a folder frei0r hosts search");
  frei0r->require_subcommand(1);
  frei0r_install->add_option("--lib", frei0r_args.lib,
                             "the frei0r plug-in folder (default ~/.frei0r-1/lib); what the "
                             "filter loads goes to its sibling lumatrice/")
      ->type_name("DIR");
  FarmCli farm_cli;
  AddFarmCommands(app, farm_cli);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    std::string what = e.what();
    for (char& c : what)
      if (c == '\n') c = ' ';
    std::fprintf(stderr, "lumatrice: error: %s (see lumatrice --help-all)\n", what.c_str());
    return kExitUsage;
  }

  // The editor loads its own plug-ins and Qt; nothing else is needed.
  if (*edit) return RunEdit(argv[0], edit_args, plugin_folders);
  if (*blender_install) return RunBlenderInstall(blender_args);
  if (*frei0r_install) return RunFrei0rInstall(frei0r_args);
  // The farm runs lumatrice itself in subprocesses; it loads no plug-in.
  if (const int status = RunFarmCommand(farm_cli, plugin_folders); status >= 0) return status;

  try {
    InstallCancelHandlers();
    HostSession host;
    host.LoadPlugins(plugin_folders);
    int status = kExitOk;
    if (*render) {
      status = RunRender(host, render_args);
    } else if (*stamp) {
      status = RunStamp(host, stamp_args);
    } else if (*scene_new) {
      status = RunSceneNew(host, new_args);
    } else if (*scene_show) {
      status = RunSceneShow(host, show_args);
    } else if (*scene_set) {
      status = RunSceneSet(host, set_args);
    } else if (*plugins) {
      status = RunPlugins(host);
    } else if (*verify) {
      status = RunVerify(verify_args);
    } else if (*preflight) {
      status = RunPreflight(host, preflight_args);
    }
    return status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lumatrice: error: %s\n", e.what());
    return kExitFailed;
  }
}
