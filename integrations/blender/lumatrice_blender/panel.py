"""The "Lumatrice" panel of Properties > Output, drawn from the tree that
layout.build() made of the module's dialog: every control bound by its ID to
the parameter of that ID."""
import re

import bpy

from . import layout, state

# Lines short enough for the default Properties width (about 278 px).
STILL_NOTE = ("Animation renders are stamped;", "a still render (F12) is not.")


def draw_tree(ui, tree, settings, params):
    by_control = {p["control_id"]: p for p in params if p.get("prop")}
    _draw_node(ui, tree, settings, by_control)


def _draw_node(ui, node, settings, by_control):
    col = ui.box().column(align=True) if node["box"] is not None else ui.column()
    if node["title"] is not None:
        _draw_item(col.row(), node["title"], settings, by_control)
    for row in node["rows"]:
        if len(row) == 1 and "rows" in row[0]:
            _draw_node(col, row[0], settings, by_control)
            continue
        # Check boxes side by side wrap to fewer columns in a narrow editor
        # (a row would cut their labels); a check box and its edit box stay a row.
        checks = all(layout.kind(it) == "check" for it in row)
        r = col.grid_flow(row_major=True, columns=0, even_columns=True, even_rows=False,
                          align=True) if checks and len(row) > 1 else col.row()
        for it in row:
            _draw_item(r, it, settings, by_control)


def _draw_item(ui, c, settings, by_control):
    kind = layout.kind(c)
    text = layout.caption(c["text"])
    p = by_control.get(c["id"]) if c["id"] >= 0 else None
    if p is not None:
        ui.prop(settings, p["prop"], text="" if kind == "edit" else text)
    elif kind == "text":
        lines = ui.column(align=True)
        for line in text.split("\n"):
            lines.label(text=_release(line.strip()))
    elif text:
        ui.label(text=text)


def _release(line):
    """The dialog's about text names the release it first shipped with; the
    panel names the add-on's (bl_info), the one version users see."""
    m = re.fullmatch(r"(Lumatrice) \d+(\.\d+)*", line)
    return "%s %s" % (m.group(1), state.version) if m and state.version else line


class LUMATRICE_PT_output(bpy.types.Panel):
    bl_label = "Lumatrice"
    bl_space_type = "PROPERTIES"
    bl_region_type = "WINDOW"
    bl_context = "output"

    def draw(self, context):
        ui = self.layout
        if state.tree is None or not hasattr(context.scene, "lumatrice"):
            ui.label(text="Lumatrice is not available:", icon="ERROR")
            ui.label(text=state.about)
            ui.label(text="Choose its library in")
            ui.label(text="Preferences > Add-ons > Lumatrice.")
            return
        draw_tree(ui, state.tree, context.scene.lumatrice, state.params)
        if hasattr(context.scene, "lumatrice_caption_space"):
            ui.prop(context.scene, "lumatrice_caption_space")
        note = ui.column(align=True)
        note.label(text=STILL_NOTE[0], icon="INFO")
        note.label(text=STILL_NOTE[1], icon="BLANK1")
        for level, text in state.messages[-3:]:
            ui.label(text=text, icon="ERROR" if level == "ERROR" else "INFO")


class LUMATRICE_OT_report(bpy.types.Operator):
    """Shows a message of the render handlers in the report area"""
    bl_idname = "lumatrice.report"
    bl_label = "Lumatrice Report"
    bl_options = {"INTERNAL"}

    level: bpy.props.StringProperty(default="INFO")
    message: bpy.props.StringProperty()

    def execute(self, context):
        self.report({self.level if self.level in ("INFO", "WARNING", "ERROR") else "INFO"},
                    "Lumatrice: " + self.message)
        return {"FINISHED"}
