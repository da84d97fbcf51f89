"""The scene's Lumatrice properties, made from the module's parameter-block
descriptor: one per parameter, named after it, keyable when the parameter
is animatable."""
import re

import bpy

from . import lib, state


def identifier(internal_name):
    return re.sub(r"[^a-z0-9]+", "_", internal_name.lower()).strip("_")


def make_group(params, local_name):
    """A PropertyGroup class with one property per parameter; each descriptor
    entry gets its property's identifier under "prop"."""
    notes = {}
    for p in params:
        p["prop"] = identifier(p["name"])
        label = local_name(p["local_name_id"]) or p["name"]
        if p["type"] == lib.PARAM_BOOL:
            opts = {"ANIMATABLE"} if p["animatable"] else set()
            notes[p["prop"]] = bpy.props.BoolProperty(
                name=label, description=p["name"], default=p["default_bool"], options=opts)
        elif p["type"] == lib.PARAM_TEXT:
            # The effect keeps 255 characters of Windows-1252.
            notes[p["prop"]] = bpy.props.StringProperty(
                name=label, description=p["name"], default=p["default_text"], maxlen=255,
                options=set())
        else:
            state.report("WARNING", "parameter %r has a type the add-on does not know (%d)"
                         % (p["name"], p["type"]))
    return type("LumatriceSettings", (bpy.types.PropertyGroup,), {"__annotations__": notes})


def value_at(scene, p, frame):
    """The parameter's value at `frame`: its F-curve where it is keyed, else
    the property (Blender holds bools >= 0.5 as on)."""
    settings = scene.lumatrice
    if p["animatable"] and scene.animation_data and scene.animation_data.action:
        fc = scene.animation_data.action.fcurves.find("lumatrice." + p["prop"])
        if fc is not None and not fc.mute:
            return fc.evaluate(frame) >= 0.5
    return getattr(settings, p["prop"])
