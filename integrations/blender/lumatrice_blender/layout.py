"""Turns a dialog template's controls into the panel's tree: group boxes
become boxes titled by the check box or text on their top edge, controls
that share a row in the template become one row, read top to bottom and
left to right. Pure data, no bpy: the panel draws what this returns."""

BS_TYPEMASK = 0x0F
BS_GROUPBOX = 7
BS_AUTOCHECKBOX = 3
BS_CHECKBOX = 2


def caption(text):
    """A control's text as shown: "&&" is one '&', a lone '&' marks a mnemonic."""
    out, i = [], 0
    while i < len(text):
        if text[i] == "&":
            if text[i + 1:i + 2] == "&":
                out.append("&")
                i += 2
                continue
            i += 1
            continue
        out.append(text[i])
        i += 1
    return "".join(out)


def kind(c):
    cls = c["class"].lower()
    low = c["style"] & BS_TYPEMASK
    if cls == "button":
        if low == BS_GROUPBOX:
            return "group"
        if low in (BS_AUTOCHECKBOX, BS_CHECKBOX):
            return "check"
        return "button"
    if cls == "static":
        return "text"
    return "edit"  # Edit and the host's custom edit control


def _inside(c, box):
    return (c is not box and c["x"] >= box["x"] and c["y"] >= box["y"]
            and c["x"] + c["cx"] <= box["x"] + box["cx"]
            and c["y"] + c["cy"] <= box["y"] + box["cy"])


def _parent(c, boxes):
    holders = [b for b in boxes if _inside(c, b)]
    return min(holders, key=lambda b: b["cx"] * b["cy"]) if holders else None


def _rows(items):
    """Rows of items: one shares the row of the row's first item when its
    vertical middle lies within that item's height."""
    rows = []
    for it in sorted(items, key=lambda c: (c["y"], c["x"])):
        mid = it["y"] + it["cy"] / 2.0
        if rows and kind(it) != "group" and kind(rows[-1][0]) != "group":
            first = rows[-1][0]
            if first["y"] <= mid <= first["y"] + first["cy"]:
                rows[-1].append(it)
                continue
        rows.append([it])
    return [sorted(r, key=lambda c: c["x"]) for r in rows]


def build(controls):
    """{"title": control or None, "rows": [[item]]} for the page; an item is a
    control dict or, for a group box, a nested node of the same shape."""
    boxes = [c for c in controls if kind(c) == "group"]
    members = {id(b): [] for b in boxes}
    top = []
    for c in controls:
        p = _parent(c, boxes)
        (members[id(p)] if p is not None else top).append(c)

    def node(box, items):
        title = None
        if box is not None:
            edge = [c for c in items if kind(c) in ("check", "text") and abs(c["y"] - box["y"]) <= 2]
            if edge:
                title = min(edge, key=lambda c: c["x"])
                items = [c for c in items if c is not title]
        rows = []
        for row in _rows(items):
            rows.append([node(c, members[id(c)]) if kind(c) == "group" else c for c in row])
        return {"title": title, "rows": rows, "box": box}

    return node(None, top)


def walk(tree):
    """Every control of the tree in panel order (titles before their rows)."""
    if tree["title"] is not None:
        yield tree["title"]
    for row in tree["rows"]:
        for it in row:
            if "rows" in it:
                yield from walk(it)
            else:
                yield it
