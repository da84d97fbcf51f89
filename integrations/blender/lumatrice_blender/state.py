"""What the add-on holds while enabled: the library, its session, what the
module told about its parameter block and dialog, and the messages shown in
the report area, the console and the panel."""
import sys

lib = None          # lib.Library
session = None      # lib.Session
params = []         # descriptor entries, see lib.Effect.params; "prop" added
tree = None         # layout.build() of the rollup's dialog
about = ""          # failure to load, shown in the panel instead of the controls
messages = []       # (level, text), newest last; tests read them


def report(level, text):
    """One message to the console and the panel; in the UI also to the report
    area (from the main thread: handlers of a render run on its job thread)."""
    messages.append((level, text))
    del messages[:-50]
    print("Lumatrice %s: %s" % (level.lower(), text), file=sys.stderr, flush=True)
    try:
        import bpy
        if not bpy.app.background:
            bpy.app.timers.register(lambda: _to_report_area(level, text), first_interval=0.0)
    except Exception:  # no UI to tell: the console has it
        pass


def _to_report_area(level, text):
    import bpy
    try:
        bpy.ops.lumatrice.report(level=level, message=text)
    except Exception:
        pass
    return None
