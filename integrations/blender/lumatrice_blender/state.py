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
version = ""        # the add-on's, from bl_info: the one the panel shows
reload = None       # loads the library again (set by register)


_pending = []       # for the report area, drained on the main thread


def report(level, text):
    """One message to the console and the panel; in the UI also to the report
    area, from flush() on the main thread (a render's handlers run on its job
    thread, where Blender's UI must not be touched)."""
    messages.append((level, text))
    del messages[:-50]
    _pending.append((level, text))
    del _pending[:-50]
    print("Lumatrice %s: %s" % (level.lower(), text), file=sys.stderr, flush=True)


def flush():
    """A timer of the UI: shows queued messages in the report area."""
    import bpy
    while _pending:
        level, text = _pending.pop(0)
        try:
            bpy.ops.lumatrice.report(level=level, message=text)
        except Exception:  # no window to report in: the console has it
            pass
    return 0.5
