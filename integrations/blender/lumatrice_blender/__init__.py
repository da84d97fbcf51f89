"""Lumatrice for Blender: hosts the Lumatrice render effect (Lumatrice.dlv,
through liblumatrice) on Blender's renders. Its panel in Properties > Output
is built from the module's own dialog; each frame an animation render writes
is stamped in place."""

bl_info = {
    "name": "Lumatrice",
    "author": "Lumatrice Project",
    "version": (1, 1, 0),
    "blender": (3, 4, 0),
    "location": "Properties > Output > Lumatrice",
    "description": "Stamps production captions and an opening slate into rendered frames",
    "doc_url": "https://lumatrice.example.org/docs/blender.html",
    "category": "Render",
}

import atexit
import os

import bpy

from . import layout, lib, panel, prefs, props, render, state

_classes = [prefs.LUMATRICE_AP_preferences, panel.LUMATRICE_OT_report, panel.LUMATRICE_PT_output]
_group = None


def _read_module():
    """Opens the session and reads the effect's descriptor and dialog."""
    state.lib = lib.load(os.path.dirname(os.path.abspath(__file__)), prefs.chosen_library())
    state.session = lib.Session(state.lib)
    probe = state.session.create_effect(render.CLASS_NAME)
    try:
        state.params = probe.params()
        block = probe.block()
        names = {p["local_name_id"]: probe.string(p["local_name_id"]) for p in state.params}
        group = props.make_group(state.params, names.get)
        state.tree = layout.build(probe.dialog_controls(block["dialog_id"]))
    finally:
        probe.delete()
    return group


def _close_session():
    # Blender exits without disabling add-ons; the library would close the
    # session itself at exit, but closing it here keeps the order ours.
    if state.session is not None:
        state.session.close()
        state.session = None


atexit.register(_close_session)


def _load():
    """The library, its session and the scene's properties; a failure is
    reported and shown in the panel instead of the controls."""
    global _group
    state.tree, state.about, state.params = None, "", []
    try:
        _group = _read_module()
    except Exception as e:
        _group = None
        state.about = str(e)
        state.report("ERROR", state.about)
        _close_session()
    if _group is not None:
        bpy.utils.register_class(_group)
        # The values stay with the scenes while the property is away.
        bpy.types.Scene.lumatrice = bpy.props.PointerProperty(type=_group)


def _unload():
    global _group
    render.abandon()
    if hasattr(bpy.types.Scene, "lumatrice"):
        del bpy.types.Scene.lumatrice
    if _group is not None:
        try:
            bpy.utils.unregister_class(_group)
        except RuntimeError:
            pass
    _group = None
    _close_session()
    state.tree = None


def _reload():
    _unload()
    _load()


def register():
    state.version = ".".join(str(v) for v in bl_info["version"])
    state.reload = _reload
    for c in _classes:
        bpy.utils.register_class(c)
    _load()
    render.register()
    if not bpy.app.background and not bpy.app.timers.is_registered(state.flush):
        bpy.app.timers.register(state.flush, first_interval=0.5, persistent=True)


def unregister():
    if bpy.app.timers.is_registered(state.flush):
        bpy.app.timers.unregister(state.flush)
    render.unregister()
    _unload()
    for c in reversed(_classes):
        try:
            bpy.utils.unregister_class(c)
        except RuntimeError:
            pass
