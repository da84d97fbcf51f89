"""Takes docs/images/blender-panel.png: run in Blender's UI (under Xvfb):
  Xvfb :57 -screen 0 1100x900x24 & XVFB=$!
  DISPLAY=:57 blender --factory-startup --window-geometry 0 0 1100 900 SHOT.blend \
      --python integrations/blender/panel_picture.py -- OUT.png; kill $XVFB
The largest area becomes a Properties editor on the Output tab, showing the
Lumatrice panel alone; OUT.png is that area (the docs' picture is its top,
cropped to the panel)."""
import os
import sys

import bpy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lumatrice_blender  # noqa: E402

OUT = os.path.abspath(sys.argv[sys.argv.index("--") + 1]) if "--" in sys.argv else "panel.png"
lumatrice_blender.register()
bpy.context.scene.lumatrice.comments = "Shot 010"
bpy.context.scene.lumatrice.slate_author = "Ada"


def _window():
    return bpy.context.window_manager.windows[0]


def setup():
    # The other Output panels stay out of the picture.
    for name in dir(bpy.types):
        cls = getattr(bpy.types, name, None)
        if name.startswith("RENDER_PT_") and getattr(cls, "bl_context", "") == "output":
            try:
                bpy.utils.unregister_class(cls)
            except RuntimeError:
                pass
    areas = _window().screen.areas
    for a in areas:
        if a.type == "PROPERTIES":
            a.type = "OUTLINER"
    max(areas, key=lambda a: a.width * a.height).type = "PROPERTIES"


def output_tab():
    # The editor lists its tabs only once it has been drawn; a slow machine
    # may not have drawn it yet, so try again.
    for a in _window().screen.areas:
        if a.type == "PROPERTIES":
            try:
                a.spaces.active.context = "OUTPUT"
            except TypeError:
                return 1.0
            a.tag_redraw()
    bpy.app.timers.register(lambda: shoot(), first_interval=2.0)
    return None


def shoot():
    win = _window()
    area = [a for a in win.screen.areas if a.type == "PROPERTIES"][0]
    with bpy.context.temp_override(window=win, area=area):
        bpy.ops.screen.screenshot_area(filepath=OUT)
    bpy.ops.wm.quit_blender()


bpy.app.timers.register(lambda: setup(), first_interval=1.0)
bpy.app.timers.register(output_tab, first_interval=4.0)
