#!/usr/bin/python3
"""The Blender add-on end to end: headless Blender renders a small Cycles
scene with and without the add-on, and the frames are checked against the
render without it and against the same frames stamped straight through
liblumatrice (slate, header, footer, keys, chunks, formats, the panel).
Usage: test_addon.py BLENDER LIBLUMATRICE"""
import ast
import json
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np
import OpenImageIO as oiio

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "integrations", "blender", "lumatrice_blender"))
import lib as lumalib  # noqa: E402  (the add-on's bpy-free bindings)

BLENDER, LIBRARY = sys.argv[1], sys.argv[2]
CLOCK = "2026-12-07T09:00:00"
FPS, TICKS = 24, 4800 // 24
W, H = 320, 240
# Dialog 101 read top to bottom: the slate group, then header, footer, merge.
PANEL_IDS = [1012, 1016, 1017, 1010, 1013, 1014, 1015, 1004, 1009, 1011, 1005, 1006, 1007,
             1008, 1018]
SETTINGS = ["comments=Shot 010", "display_filename=1", "slate_author=Ada"]
KEYS = ["display_footer:1:1", "display_footer:3:0"]

failures, passed = [], [0]


def check(cond, what):
    if cond:
        passed[0] += 1
    else:
        failures.append(what)
        print("FAIL:", what, flush=True)


def blender(tmp, pre, job, env_extra=None, name="run", errors_expected=False):
    """Runs Blender; its log must show no traceback, the dump no error."""
    dump = os.path.join(tmp, name + ".json")
    env = dict(os.environ, LUMATRICE_LIBRARY=LIBRARY, LUMATRICE_CLOCK=CLOCK)
    env.pop("LUMATRICE_RENDER_START", None)
    env.update(env_extra or {})
    cmd = [BLENDER, "-b", "--factory-startup", "-noaudio"] + pre[:1] + \
        ["--python", os.path.join(HERE, "job.py")] + pre[1:] + ["--"] + job + ["--dump", dump]
    r = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=300)
    log = r.stdout + r.stderr
    with open(os.path.join(tmp, name + ".log"), "w") as f:
        f.write(" ".join(cmd) + "\n" + log)
    ok = r.returncode == 0 and "Traceback" not in log and os.path.exists(dump)
    check(ok, "%s: blender exited %d, see %s.log" % (name, r.returncode, name))
    d = json.load(open(dump)) if os.path.exists(dump) else {"messages": []}
    errs = [m for m in d.get("messages", []) if m[0] == "ERROR"]
    if not errors_expected:
        check(not errs, "%s: the add-on reported %s" % (name, errs))
    d["log"] = log
    return d


def addon_version():
    """bl_info's version, read as Blender reads it (without importing bpy)."""
    source = os.path.join(HERE, "..", "..", "integrations", "blender", "lumatrice_blender",
                          "__init__.py")
    for node in ast.parse(open(source).read()).body:
        if isinstance(node, ast.Assign) and node.targets[0].id == "bl_info":
            return ".".join(map(str, ast.literal_eval(node.value)["version"]))
    return "?"


def pixels(path):
    buf = oiio.ImageBuf(path)
    return buf.get_pixels(buf.spec().format)


def expected(base_dir, out_dir, blend, ext, frames, slate_frame, footer_off=()):
    """The render without the add-on stamped straight through the library."""
    os.makedirs(out_dir, exist_ok=True)
    s = lumalib.Session(lumalib.Library(LIBRARY))
    try:
        s.set_frame_rate(FPS)
        s.set_scene_path(blend)
        s.pin_clock(CLOCK)
        e = s.create_effect("Lumatrice")
        for kv in SETTINGS:
            k, v = kv.split("=", 1)
            name = {"comments": "Comments", "display_filename": "Display Filename",
                    "slate_author": "Slate Author"}[k]
            e.set_text(name, v) if k in ("comments", "slate_author") else e.set_bool(name, v == "1")
        for f in frames:
            dst = os.path.join(out_dir, "f_%04d.%s" % (f, ext))
            shutil.copy(os.path.join(base_dir, "f_%04d.%s" % (f, ext)), dst)
            e.set_bool("Display Footer", f not in footer_off)
            if f == slate_frame:
                s.pre_render()
            s.stamp_file(dst, f * TICKS)
    finally:
        s.close()


def seen_through(path, config, display, view):
    """`path` as the view shows it, by OpenColorIO's own ocioconvert."""
    out = path + ".seen.exr"
    subprocess.run(["ocioconvert", "--view", path, "scene_linear", out, display, view],
                   env=dict(os.environ, OCIO=config), check=True, capture_output=True)
    return pixels(out).astype(np.float32)


def check_caption_display(tmp, blend, base):
    """Captions in the display's colours: float frames keep every pixel the
    effect does not draw, and the drawn ones show the effect's colours
    through the scene's view (half holds them to 0.002)."""
    if shutil.which("ocioconvert") is None:
        print("SKIP: ocioconvert is not installed")
        return
    out = os.path.join(tmp, "EXR_HALF", "display")
    d = blender(tmp, [blend, "-f", "2"],
                ["--addon", "--format", "EXR_HALF", "--caption-space", "DISPLAY", "--out", out],
                name="EXR_HALF-display")
    got, b = pixels(os.path.join(out, "f_0002.exr")), pixels(os.path.join(base, "f_0002.exr"))
    drawn = np.any(got.view(np.uint16) != b.view(np.uint16), axis=2)
    rows = sorted(set(np.nonzero(drawn)[0].tolist()))
    check(rows and set(rows) <= set(range(2, 15)) | set(range(H - 15, H - 2)),
          "caption display: changed rows %s" % rows)
    seen = seen_through(os.path.join(out, "f_0002.exr"), *d["colour"])[drawn][:, :3]
    colours = np.array([0x3C00, 0xFF00]) / 65535.0
    off = np.min(np.abs(seen[..., None] - colours), axis=-1)
    check(off.size and off.max() <= 2e-3,
          "caption display through %s: drawn pixels off the effect's colours by %.4f"
          % (d["colour"][2], off.max() if off.size else -1))


def changed_rows(a, b):
    return sorted(set(np.nonzero(np.any(a != b, axis=(1, 2)))[0].tolist()))


def main():
    tmp = tempfile.mkdtemp(prefix="lumatrice-blender-")
    blend = os.path.join(tmp, "shot.blend")
    # The scene, saved with the add-on's settings and keys.
    made = blender(tmp, [], ["--build-scene", "--addon", "--save", blend, "--panel", "x"]
                   + sum([["--set", s] for s in SETTINGS], []) + sum([["--key", k] for k in KEYS], []),
                   name="build")
    params = made.get("params", [])
    check(len(params) == 15, "fifteen parameters, got %d" % len(params))
    not_keyable = {p["name"] for p in params if not p["animatable"]}
    check(not_keyable == {"Comments", "Slate Author", "Slate Comments", "Use Multithreading"},
          "not animatable: %s" % sorted(not_keyable))
    check(set(made.get("not_keyable", [])) == not_keyable,
          "keying refused for exactly those: %s" % made.get("not_keyable"))
    # The panel, read from its drawing code: dialog 101's controls, bound by ID.
    by_prop = {p["prop"]: p for p in params}
    drawn = [by_prop[x["prop"]]["control_id"] for x in made.get("panel", []) if "prop" in x]
    check(drawn == PANEL_IDS, "panel controls %s" % drawn)
    labels = [x.get("label") or x.get("text") for x in made.get("panel", [])]
    check("Time & Date" in labels and "First Frame..." in labels and
          "Lumatrice " + addon_version() in labels, "panel titles and labels %s" % labels)
    # Labelled controls side by side only in a flow, which wraps in a narrow editor.
    crowded, in_row = [], []
    for x in made.get("panel", []) + [{"row": 0}]:
        if "prop" not in x:
            crowded += [in_row] if len(in_row) > 1 else []
            in_row = []
        elif x["in"] == "row" and x["text"]:
            in_row.append(x["text"])
    check(not crowded, "labels that share a row: %s" % crowded)
    # The library chosen in the preferences, when $LUMATRICE_LIBRARY is not set.
    missing = "/nonexistent/chosen/liblumatrice.so"
    d = blender(tmp, [], ["--addon", "--library-pref", missing, "--library-pref", LIBRARY],
                env_extra={"LUMATRICE_LIBRARY": ""}, name="prefs", errors_expected=True)
    tried = d.get("library_pref", [])
    check(len(tried) == 2 and missing + ": not found" in tried[0]["about"]
          and not tried[0]["panel"] and tried[1]["loaded"] == LIBRARY and tried[1]["panel"],
          "library from the preferences: %s" % tried)

    fmts = [("PNG16", "png"), ("EXR_HALF", "exr")]
    for fmt, ext in fmts:
        base, full, chunk, exp = (os.path.join(tmp, fmt, n) for n in ("base", "full", "chunk", "exp"))
        blender(tmp, [blend, "-a"], ["--format", fmt, "--out", base], name=fmt + "-base")
        run = blender(tmp, [blend, "-a"], ["--addon", "--format", fmt, "--out", full],
                      name=fmt + "-full")
        blender(tmp, [blend, "-s", "2", "-e", "3", "-a"],
                ["--addon", "--format", fmt, "--out", chunk], name=fmt + "-chunk")
        if fmt == "PNG16":
            check(run.get("values", {}).get("comments") == "Shot 010", "reloaded comments")
            check(run.get("keys", {}).get("lumatrice.display_footer") == [[1.0, 1.0], [3.0, 0.0]],
                  "reloaded keys %s" % run.get("keys"))
        expected(base, exp, blend, ext, [1, 2, 3], 1, footer_off=[3])
        for f in (1, 2, 3):
            name = "f_%04d.%s" % (f, ext)
            b, got, want = (pixels(os.path.join(d, name)) for d in (base, full, exp))
            check(np.array_equal(got.view(np.uint8), want.view(np.uint8)),
                  "%s frame %d equals the library's stamp of the plain render" % (fmt, f))
            rows = changed_rows(got, b)
            if f == 1:
                top = (H - 220) >> 1
                text = set(range(top, top + 13)) | set(range(top + 20, top + 33))
                check(text <= set(rows) or fmt != "PNG16", "slate label rows %s" % rows[:5])
                if fmt == "PNG16":
                    grey = [y for y in range(H) if not any(top + 60 * k <= y < top + 60 * k + 33
                                                           for k in range(4))]
                    check(np.all(got[grey, :, :3] == 0x4000), "slate grey 0x4000 between blocks")
            else:
                head, foot = set(range(2, 15)), set(range(H - 15, H - 2))
                check(set(rows) <= head | foot, "%s frame %d changed rows %s" % (fmt, f, rows))
                check(bool(set(rows) & head), "%s frame %d has the header" % (fmt, f))
                check(bool(set(rows) & foot) == (f == 2), "%s frame %d footer" % (fmt, f))
                c = pixels(os.path.join(chunk, name))
                check(np.array_equal(c.view(np.uint8), got.view(np.uint8)),
                      "%s chunk frame %d equals the full run's" % (fmt, f))
        if fmt == "EXR_HALF":
            check_caption_display(tmp, blend, base)
        if fmt == "EXR_HALF":  # File Extensions off: "f_0002", stamped all the same
            bare = os.path.join(tmp, fmt, "bare")
            blender(tmp, [blend, "-f", "2"],
                    ["--addon", "--format", fmt, "--no-extension", "--out", bare], name=fmt + "-bare")
            check(np.array_equal(pixels(os.path.join(bare, "f_0002")).view(np.uint8),
                                 pixels(os.path.join(full, "f_0002.exr")).view(np.uint8)),
                  "a frame named without an extension is stamped as the full run's")
    # Without the library: the render goes on unstamped, the reason is reported.
    missing = "/nonexistent/liblumatrice.so"
    plain = os.path.join(tmp, "nolib")
    d = blender(tmp, [blend, "-f", "2"], ["--addon", "--format", "PNG16", "--out", plain],
                env_extra={"LUMATRICE_LIBRARY": missing}, name="nolib", errors_expected=True)
    check(any(missing in m[1] for m in d["messages"]) and "Lumatrice error: " in d["log"],
          "missing library reported: %s" % d["messages"])
    check(np.array_equal(pixels(os.path.join(plain, "f_0002.png")),
                         pixels(os.path.join(tmp, "PNG16", "base", "f_0002.png"))),
          "without the library the frame is as rendered")
    print("%d passed, %d failed" % (passed[0], len(failures)))
    if not failures:
        shutil.rmtree(tmp)
    else:
        print("kept", tmp)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
