"""Runs inside Blender for the add-on's tests (arguments after `--`): builds
the test scene, enables the add-on from the source tree, sets and keys
parameters, saves, dumps what the tests read, and records every message the
add-on reported (Blender ignores exceptions in handlers and still exits 0)."""
import argparse
import json
import os
import sys

import bpy

ap = argparse.ArgumentParser()
ap.add_argument("--build-scene", action="store_true")
ap.add_argument("--addon", action="store_true")
ap.add_argument("--format", choices=["PNG16", "EXR_HALF"])
ap.add_argument("--out")
ap.add_argument("--no-extension", action="store_true", help="Blender's File Extensions off")
ap.add_argument("--set", action="append", default=[], help="prop=value")
ap.add_argument("--key", action="append", default=[], help="prop:frame:0|1")
ap.add_argument("--caption-space", choices=["SCENE", "DISPLAY"])
ap.add_argument("--save")
ap.add_argument("--dump")
ap.add_argument("--panel")
ap.add_argument("--library-pref", action="append", default=[],
                help="enable through the preferences, then choose these libraries there in turn")
args = ap.parse_args(sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else [])
dump = {"messages": [], "errors": []}


def build_scene():
    bpy.ops.wm.read_factory_settings(use_empty=True)
    s = bpy.context.scene
    bpy.ops.mesh.primitive_cube_add(location=(0, 0, 0))
    bpy.ops.object.light_add(type="SUN", location=(2, -2, 4))
    bpy.ops.object.camera_add(location=(4, -4, 3), rotation=(1.1, 0, 0.785))
    s.camera = bpy.context.object
    s.render.engine = "CYCLES"
    s.cycles.device = "CPU"
    s.cycles.samples = 2
    s.cycles.use_denoising = False
    s.render.threads_mode = "FIXED"
    s.render.threads = 2
    s.render.resolution_x, s.render.resolution_y, s.render.resolution_percentage = 320, 240, 100
    s.render.film_transparent = True
    s.render.fps, s.render.fps_base = 24, 1.0
    s.frame_start, s.frame_end = 1, 3
    s.render.use_stamp = False
    for a in dir(s.render):
        if a.startswith("use_stamp_"):
            try:
                setattr(s.render, a, False)
            except (AttributeError, TypeError):
                pass


def enable_addon():
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, os.path.join(here, "..", "..", "integrations", "blender"))
    if args.library_pref:
        import addon_utils
        addon_utils.enable("lumatrice_blender", default_set=True)
    import lumatrice_blender
    if not args.library_pref:
        lumatrice_blender.register()
    return lumatrice_blender


def choose_libraries(mod):
    """Each library of --library-pref chosen in the preferences: what loaded."""
    prefs = bpy.context.preferences.addons["lumatrice_blender"].preferences
    tried = []
    for path in args.library_pref:
        prefs.library = path
        s = mod.state
        tried.append({"loaded": s.lib.path if s.session is not None else None, "about": s.about,
                      "panel": hasattr(bpy.types.Scene, "lumatrice")})
    dump["library_pref"] = tried


def set_format(s, fmt, out):
    st = s.render.image_settings
    if fmt == "PNG16":
        st.file_format, st.color_mode, st.color_depth = "PNG", "RGBA", "16"
    else:
        st.file_format, st.color_mode, st.color_depth = "OPEN_EXR", "RGBA", "16"
        st.exr_codec = "ZIP"
    s.render.filepath = os.path.join(out, "f_####")
    s.render.use_file_extension = not args.no_extension


class Recorder:
    """A stand-in for bpy's UILayout that records what the panel draws; each
    prop says whether it sits in a row or in a flow that wraps."""

    def __init__(self, log, depth=0, within="column"):
        self.log, self.depth, self.within = log, depth, within

    def box(self):
        self.log.append({"box": self.depth})
        return Recorder(self.log, self.depth + 1)

    def row(self, **_):
        self.log.append({"row": self.depth})
        return Recorder(self.log, self.depth, "row")

    def grid_flow(self, **_):
        self.log.append({"flow": self.depth})
        return Recorder(self.log, self.depth, "flow")

    def column(self, **_):
        return self

    def label(self, text="", **_):
        self.log.append({"label": text})

    def prop(self, data, name, text=None, **_):
        self.log.append({"prop": name, "text": text, "in": self.within})


if args.build_scene:
    build_scene()
scene = bpy.context.scene
mod = enable_addon() if args.addon else None
if mod is not None and args.library_pref:
    choose_libraries(mod)
if args.format:
    set_format(scene, args.format, args.out)
if args.caption_space:
    scene.lumatrice_caption_space = args.caption_space
    dump["colour"] = [mod.render.colour_config(), scene.display_settings.display_device,
                      scene.view_settings.view_transform]
for kv in args.set:
    k, v = kv.split("=", 1)
    cur = getattr(scene.lumatrice, k)
    setattr(scene.lumatrice, k, (v == "1") if isinstance(cur, bool) else v)
if mod is not None and args.build_scene:
    # Texts and the merge switch are not animatable: keying them must fail.
    asked = {kfv.split(":")[0] for kfv in args.key}
    refused = []
    for p in mod.state.params:
        if p["prop"] in asked:
            continue
        try:
            scene.lumatrice.keyframe_insert(p["prop"], frame=1)
        except (TypeError, RuntimeError):
            refused.append(p["name"])
            continue
        fc = scene.animation_data.action.fcurves.find("lumatrice." + p["prop"])
        scene.animation_data.action.fcurves.remove(fc)
    dump["not_keyable"] = refused
for kfv in args.key:
    k, f, v = kfv.split(":")
    setattr(scene.lumatrice, k, v == "1")
    scene.lumatrice.keyframe_insert(k, frame=int(f))
if args.save:
    bpy.ops.wm.save_as_mainfile(filepath=os.path.abspath(args.save))
if args.panel and mod is not None:
    log = []
    mod.panel.draw_tree(Recorder(log), mod.state.tree, scene.lumatrice, mod.state.params)
    dump["panel"] = log
    dump["params"] = [{k: p[k] for k in ("id", "name", "type", "animatable", "control_id", "prop")}
                      for p in mod.state.params]


def write_dump(*_):
    if mod is not None:
        dump["messages"] = list(mod.state.messages)
        dump["values"] = {p["prop"]: getattr(scene.lumatrice, p["prop"]) for p in mod.state.params}
        keys = {}
        if scene.animation_data and scene.animation_data.action:
            for fc in scene.animation_data.action.fcurves:
                keys[fc.data_path] = [[k.co[0], k.co[1]] for k in fc.keyframe_points]
        dump["keys"] = keys
    if args.dump:
        with open(args.dump, "w") as f:
            json.dump(dump, f)


write_dump()
bpy.app.handlers.render_complete.append(write_dump)
