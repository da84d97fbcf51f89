"""The add-on's preferences (Edit > Preferences > Add-ons > Lumatrice): which
liblumatrice to load. $LUMATRICE_LIBRARY, when set, still wins, so a farm
or a test can choose without touching anyone's preferences."""
import os

import bpy

from . import state


def chosen_library():
    """The library file chosen in the preferences, "" when none is (or the
    add-on was registered without an entry in the preferences)."""
    entry = bpy.context.preferences.addons.get(__package__)
    path = entry.preferences.library if entry is not None else ""
    return bpy.path.abspath(path) if path else ""


def _library_changed(self, context):
    state.reload()


class LUMATRICE_AP_preferences(bpy.types.AddonPreferences):
    bl_idname = __package__

    library: bpy.props.StringProperty(
        name="Library", subtype="FILE_PATH",
        description="liblumatrice.so to load; empty: the one the add-on brings "
                    "($LUMATRICE_LIBRARY, when set, is used instead)",
        update=_library_changed)

    def draw(self, context):
        ui = self.layout
        ui.prop(self, "library")
        env = os.environ.get("LUMATRICE_LIBRARY")
        if env:
            ui.label(text="LUMATRICE_LIBRARY is set and used: " + env, icon="INFO")
        if state.lib is not None and state.session is not None:
            ui.label(text="Loaded: " + state.lib.path, icon="CHECKMARK")
        elif state.about:
            ui.label(text=state.about, icon="ERROR")
