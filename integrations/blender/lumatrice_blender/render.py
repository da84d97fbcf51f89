"""The render handlers: at a render's start the effect is created with the
clock pinned; each frame Blender writes is stamped in place with the
parameters at that frame; the slate goes on the render's first frame only.
Nothing here raises into Blender: every failure becomes a report."""
import os
import sys

import bpy
from bpy.app.handlers import persistent

from . import lib, props, state

CLASS_NAME = "Lumatrice"


class _Render:
    effect = None
    start = None          # the render's first frame (slate)
    slated = False
    tick_step = 160
    warned = set()


_r = _Render()
_loaded_start = {}  # scene name -> frame_start as the file had it


def frame_rate(scene):
    """Blender's rate rounded to whole frames a second, and on to the nearest
    rate that divides 4800 so every frame starts on a whole tick."""
    fps = scene.render.fps / (scene.render.fps_base or 1.0)
    whole = max(1, int(round(fps)))
    divisors = [d for d in range(1, 4801) if lib.TICKS_PER_SECOND % d == 0]
    return min(divisors, key=lambda d: (abs(d - whole), d))


# Blender's file formats the library writes, by the extension it would add.
_EXTENSIONS = {"OPEN_EXR": "exr", "OPEN_EXR_MULTILAYER": "exr", "PNG": "png", "TIFF": "tif",
               "JPEG": "jpg", "DPX": "dpx"}


def file_format(scene):
    """The format to stamp in when Blender writes names without an extension."""
    if scene.render.use_file_extension:
        return None
    return _EXTENSIONS.get(scene.render.image_settings.file_format)


def _chunk_given_on_command_line():
    args = sys.argv[:sys.argv.index("--")] if "--" in sys.argv else sys.argv
    return any(a in ("-s", "--frame-start") for a in args)


def render_start(scene):
    env = os.environ.get("LUMATRICE_RENDER_START")
    if env:
        return int(env)
    # `-s` overwrites frame_start before the render; the file's own is the render's start.
    if _chunk_given_on_command_line() and scene.name in _loaded_start:
        return _loaded_start[scene.name]
    return scene.frame_start


def remember_starts():
    for s in bpy.data.scenes:
        _loaded_start[s.name] = s.frame_start


def _guard(fn):
    def run(scene, *_):
        try:
            fn(scene)
        except lib.LumatriceError as e:
            state.report("ERROR", str(e))
        except Exception as e:  # never a traceback in a render
            state.report("ERROR", "%s: %s" % (type(e).__name__, e))
    run.__name__ = fn.__name__
    return persistent(run)


def _end():
    if _r.effect is not None:
        try:
            state.session.render_end(0)
        finally:
            _r.effect.delete()
            _r.effect = None
            for n in state.session.notices():
                state.report("WARNING", n)


def colour_config():
    """The OpenColorIO config Blender itself uses: $OCIO, else its own."""
    if os.environ.get("OCIO"):
        return os.environ["OCIO"]
    folder = bpy.utils.system_resource("DATAFILES", path="colormanagement")
    config = os.path.join(folder, "config.ocio") if folder else ""
    return config if os.path.isfile(config) else ""


def set_caption_space(session, scene):
    """Captions in the display's colours take the scene's view transform on
    its display device (looks, exposure and gamma aside)."""
    if getattr(scene, "lumatrice_caption_space", "SCENE") != "DISPLAY":
        session.set_caption_space(False)
        return
    session.set_caption_space(True, colour_config(), scene.display_settings.display_device,
                              scene.view_settings.view_transform)


@_guard
def on_render_init(scene):
    if state.session is None:
        raise lib.LumatriceError(lib.E_NOT_FOUND, "frames will not be stamped: " + state.about)
    _end()
    _r.slated, _r.warned = False, set()
    _r.start = render_start(scene)
    s = state.session
    rate = frame_rate(scene)
    s.set_frame_rate(rate)
    _r.tick_step = lib.TICKS_PER_SECOND // rate
    s.set_scene_path(bpy.path.abspath(bpy.data.filepath) if bpy.data.filepath else "")
    s.pin_clock(os.environ.get("LUMATRICE_CLOCK", ""))
    set_caption_space(s, scene)
    _r.effect = s.create_effect(CLASS_NAME)
    s.render_begin(scene.frame_start * _r.tick_step)


@_guard
def on_render_write(scene):
    if _r.effect is None:
        return
    frame = scene.frame_current
    path = bpy.path.abspath(scene.render.frame_path(frame=frame))
    for p in state.params:
        if "prop" not in p:
            continue
        v = props.value_at(scene, p, frame)
        if p["type"] == lib.PARAM_TEXT:
            _r.effect.set_text(p["name"], v)
        else:
            _r.effect.set_bool(p["name"], v)
    if frame == _r.start and not _r.slated:
        state.session.pre_render()
        _r.slated = True
    try:
        state.session.stamp_file(path, frame * _r.tick_step, file_format(scene))
    except lib.LumatriceError as e:
        if e.code in (lib.E_UNSUPPORTED, lib.E_STAMPED):
            if e.code not in _r.warned:
                _r.warned.add(e.code)
                state.report("WARNING", "left as rendered: %s" % e)
        else:
            state.report("ERROR", "frame %d not stamped: %s" % (frame, e))
    for n in state.session.notices():
        state.report("WARNING", n)


@_guard
def on_render_end(scene):
    _end()


@_guard
def on_load_post(scene):
    remember_starts()


HANDLERS = [
    ("render_init", on_render_init),
    ("render_write", on_render_write),
    ("render_complete", on_render_end),
    ("render_cancel", on_render_end),
    ("load_post", on_load_post),
]


def register():
    bpy.types.Scene.lumatrice_caption_space = bpy.props.EnumProperty(
        name="Captions",
        description="The values the captions take in float frames (EXR)",
        items=[("SCENE", "Effect's values", "The effect's own values, as in every frame"),
               ("DISPLAY", "Display",
                "Float frames stay scene-linear; the captions take the values the scene's view "
                "transform shows as the effect's colours")],
        default="SCENE")
    try:
        remember_starts()
    except AttributeError:  # data not readable while Blender starts up
        pass
    for name, fn in HANDLERS:
        lst = getattr(bpy.app.handlers, name)
        if fn not in lst:
            lst.append(fn)


def unregister():
    for name, fn in HANDLERS:
        lst = getattr(bpy.app.handlers, name)
        for h in list(lst):
            if h is fn or getattr(h, "__name__", None) == fn.__name__ and \
                    getattr(h, "__module__", None) == fn.__module__:
                try:
                    lst.remove(h)
                except ValueError:
                    pass
    abandon()
    if hasattr(bpy.types.Scene, "lumatrice_caption_space"):
        del bpy.types.Scene.lumatrice_caption_space


def abandon():
    """Ends a render the add-on is leaving (disabled, or its library changed)."""
    try:
        _end()
    except Exception:
        pass
