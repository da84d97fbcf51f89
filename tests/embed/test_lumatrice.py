"""liblumatrice through ctypes, as a Python host (the Blender add-on) calls it.

    test_lumatrice.py LIBLUMATRICE FRAME_TOOL SOURCE_DIR THROWING_MODULE_DIR PROGRAM

FRAME_TOOL writes and dumps image files (the test itself uses only the
standard library); SOURCE_DIR is the source tree, whose resource script
(module/Lumatrice.rc) and IDs (effect/resource_ids.h) the dialog is checked
against; THROWING_MODULE_DIR holds a test module whose effect throws from the
call LUMATRICE_TEST_THROW names.
"""
import ctypes as C
import json
import math
import os
import re
import struct
import subprocess
import sys
import tempfile
import textwrap
import types
import unittest
from unittest import mock

LIB_PATH, TOOL, SOURCE_DIR, THROWING_DIR, PROGRAM = sys.argv[1:6]
del sys.argv[1:6]
sys.path.insert(0, os.path.join(SOURCE_DIR, "integrations", "blender", "lumatrice_blender"))
import lib as addon  # noqa: E402  (the add-on's bpy-free bindings)

OK, E_ARGUMENT, E_NOT_FOUND, E_STATE, E_IO, E_UNSUPPORTED, E_STAMPED, E_PLUGIN = range(0, -8, -1)
E_VERSION = -10
U8, U16, HALF, FLOAT = 1, 2, 3, 4
TPF = 160  # ticks per frame at 30 fps
W, H = 320, 180


class ParamInfo(C.Structure):
    _fields_ = [("id", C.c_int32), ("name", C.c_char_p), ("type", C.c_int32),
                ("animatable", C.c_int32), ("default_bool", C.c_int32),
                ("default_text", C.c_char_p), ("local_name_id", C.c_int32),
                ("control_type", C.c_int32), ("control_id", C.c_int32)]


class BlockInfo(C.Structure):
    _fields_ = [("name", C.c_char_p), ("dialog_id", C.c_int32), ("title_id", C.c_int32),
                ("param_count", C.c_int32)]


class DialogInfo(C.Structure):
    _fields_ = [("x", C.c_int32), ("y", C.c_int32), ("cx", C.c_int32), ("cy", C.c_int32),
                ("style", C.c_uint32), ("font", C.c_char_p), ("point_size", C.c_int32),
                ("control_count", C.c_int32)]


class ControlInfo(C.Structure):
    _fields_ = [("window_class", C.c_char_p), ("id", C.c_int32), ("text", C.c_char_p),
                ("x", C.c_int32), ("y", C.c_int32), ("cx", C.c_int32), ("cy", C.c_int32),
                ("style", C.c_uint32), ("ex_style", C.c_uint32)]


class Key(C.Structure):
    _fields_ = [("time", C.c_int32), ("value", C.c_int32)]


class Frame(C.Structure):
    _fields_ = [("pixels", C.c_void_p), ("width", C.c_int32), ("height", C.c_int32),
                ("row_stride", C.c_int64), ("channels", C.c_int32), ("sample", C.c_int32)]


lib = C.CDLL(LIB_PATH)
lib.lumatrice_last_error.restype = C.c_char_p
lib.lumatrice_api_version.restype = C.c_uint32
lib.lumatrice_struct_size.restype = C.c_uint32
P = C.c_void_p
for name, args in {
        "lumatrice_open": [P, C.c_int32, C.POINTER(P)],
        "lumatrice_close": [P],
        "lumatrice_create_effect": [P, C.c_char_p, C.POINTER(P)],
        "lumatrice_delete_effect": [P],
        "lumatrice_block": [P, C.POINTER(BlockInfo)],
        "lumatrice_param": [P, C.c_int32, C.POINTER(ParamInfo)],
        "lumatrice_dialog": [P, C.c_int32, C.POINTER(DialogInfo)],
        "lumatrice_dialog_control": [P, C.c_int32, C.c_int32, C.POINTER(ControlInfo)],
        "lumatrice_string": [P, C.c_int32, C.POINTER(C.c_char_p)],
        "lumatrice_set_bool": [P, C.c_char_p, C.c_int32],
        "lumatrice_set_bool_keys": [P, C.c_char_p, C.POINTER(Key), C.c_int32],
        "lumatrice_get_bool": [P, C.c_char_p, C.c_int32, C.POINTER(C.c_int32)],
        "lumatrice_set_text": [P, C.c_char_p, C.c_char_p],
        "lumatrice_get_text": [P, C.c_char_p, C.POINTER(C.c_char_p)],
        "lumatrice_pin_clock": [P, C.c_char_p],
        "lumatrice_read_clock": [P, C.POINTER(C.c_char_p)],
        "lumatrice_set_frame_rate": [P, C.c_int32],
        "lumatrice_set_scene_path": [P, C.c_char_p],
        "lumatrice_pre_render": [P],
        "lumatrice_render_begin": [P, C.c_int32],
        "lumatrice_apply": [P, C.c_int32, C.POINTER(Frame)],
        "lumatrice_stamp_file": [P, C.c_char_p, C.c_int32],
        "lumatrice_stamp_file_as": [P, C.c_char_p, C.c_int32, C.c_char_p],
        "lumatrice_set_caption_space": [P, C.c_int32, C.c_char_p, C.c_char_p, C.c_char_p],
        "lumatrice_require_version": [C.c_uint32, C.c_uint32],
        "lumatrice_struct_size": [C.c_int32],
}.items():
    getattr(lib, name).argtypes = args

session = P()


class Failed(Exception):
    def __init__(self, code):
        super().__init__(lib.lumatrice_last_error().decode())
        self.code = code


def call(name, *args):
    code = getattr(lib, name)(*args)
    if code != OK:
        raise Failed(code)


def parse_resources():
    """Dialog 101's controls as the resource script lists them, with the IDs."""
    ids = {"-1": -1}
    with open(os.path.join(SOURCE_DIR, "effect", "resource_ids.h")) as f:
        for m in re.finditer(r"#define\s+(\w+)\s+(\d+)", f.read()):
            ids[m.group(1)] = int(m.group(2))
    with open(os.path.join(SOURCE_DIR, "module", "Lumatrice.rc")) as f:
        body = f.read().split("BEGIN", 1)[1].split("END", 1)[0]
    kinds = {"GROUPBOX": ("Button", 7), "AUTOCHECKBOX": ("Button", 3),
             "CTEXT": ("Static", 1), "LTEXT": ("Static", 0)}
    controls = []
    for line in body.strip().splitlines():
        m = re.match(r'\s*(\w+)\s+"((?:[^"]|"")*)",\s*([\w-]+),(.*)', line)
        kind, text, ident, rest = m.groups()
        rest = [p.strip() for p in rest.split(",")]
        if kind == "CONTROL":
            cls, style, rect = rest[0].strip('"'), None, rest[2:]
        else:
            (cls, style), rect = kinds[kind], rest
        controls.append((cls, style, ids[ident], text.replace("\\n", "\n"),
                         tuple(int(v) for v in rect)))
    return ids, controls


def fill(sample, channels, stride):
    """A frame with padding bytes after every row; returns (buffer, pack)."""
    fmt, scale = {U8: ("B", 255), U16: ("H", 65535), HALF: ("e", 1.0), FLOAT: ("f", 1.0)}[sample]
    size = struct.calcsize(fmt)
    buf = bytearray(b"\xab" * (stride * H))
    for y in range(H):
        row = [((x * 7 + y * 13 + c * 29) % 200 + 20) / 255 for x in range(W) for c in range(channels)]
        if sample in (U8, U16):
            row = [round(v * scale) for v in row]
        if sample == FLOAT and y == H // 2:
            row[0], row[1] = 2.5, math.nan  # kept bit for bit where nothing is drawn
        struct.pack_into("<%d%s" % (len(row), fmt), buf, y * stride, *row)
    return buf, size


def apply(effect_time, sample, channels=4, pad=24):
    buf, size = fill(sample, channels, W * channels * {U8: 1, U16: 2, HALF: 2, FLOAT: 4}[sample] + pad)
    stride = len(buf) // H
    before = bytes(buf)
    cbuf = (C.c_char * len(buf)).from_buffer(buf)
    frame = Frame(C.cast(cbuf, C.c_void_p), W, H, stride, channels, sample)
    call("lumatrice_apply", session, effect_time, C.byref(frame))
    del cbuf
    row = stride - pad
    for y in range(H):
        assert buf[y * stride + row:(y + 1) * stride] == before[y * stride + row:(y + 1) * stride], \
            "padding after row %d changed" % y
    changed = {y for y in range(H) if buf[y * stride:y * stride + row] != before[y * stride:y * stride + row]}
    return changed, buf, stride


def read(path):
    with open(path, "rb") as f:
        return f.read()


def dump(path):
    return json.loads(subprocess.run([TOOL, "dump", path], check=True, capture_output=True,
                                     text=True).stdout)


def setUpModule():
    folders = (C.c_char_p * 1)(THROWING_DIR.encode())
    call("lumatrice_open", folders, 1, C.byref(session))
    call("lumatrice_pin_clock", session, b"2026-12-07T09:00:00")
    call("lumatrice_set_scene_path", session, "/shots/sc\u00e8ne/sh010.blend".encode())


def tearDownModule():
    lib.lumatrice_close(session)  # hygiene: a process may also exit with it open


class ExitTest(unittest.TestCase):
    def test_a_process_may_exit_with_the_session_open(self):
        program = ("import ctypes as C, sys\n"
                   "lib = C.CDLL(sys.argv[1])\n"
                   "s, e = C.c_void_p(), C.c_void_p()\n"
                   "assert lib.lumatrice_open(None, 0, C.byref(s)) == 0\n"
                   "assert lib.lumatrice_create_effect(s, b'Lumatrice', C.byref(e)) == 0\n")
        r = subprocess.run([sys.executable, "-c", program, LIB_PATH], capture_output=True, text=True)
        self.assertEqual((r.returncode, r.stderr), (0, ""))

    def test_a_session_and_its_effects_leave_the_image_and_colour_libraries_unloaded(self):
        program = ("import ctypes as C, sys\n"
                   "lib = C.CDLL(sys.argv[1])\n"
                   "s, e = C.c_void_p(), C.c_void_p()\n"
                   "assert lib.lumatrice_open(None, 0, C.byref(s)) == 0\n"
                   "assert lib.lumatrice_create_effect(s, b'Lumatrice', C.byref(e)) == 0\n"
                   "maps = open('/proc/self/maps').read()\n"
                   "print('libOpenImageIO.so' in maps, 'libOpenColorIO.so' in maps)\n")
        r = subprocess.run([sys.executable, "-c", program, LIB_PATH], capture_output=True, text=True)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "False False\n", ""))

    def test_stale_handles_fail_even_where_a_new_object_took_their_place(self):
        # In a process of its own: the session of this one stays open.
        program = textwrap.dedent("""\
            import ctypes as C, sys
            lib, P = C.CDLL(sys.argv[1]), C.c_void_p
            lib.lumatrice_last_error.restype = C.c_char_p
            lib.lumatrice_open.argtypes = [P, C.c_int32, C.POINTER(P)]
            lib.lumatrice_create_effect.argtypes = [P, C.c_char_p, C.POINTER(P)]
            lib.lumatrice_set_text.argtypes = [P, C.c_char_p, C.c_char_p]
            lib.lumatrice_get_text.argtypes = [P, C.c_char_p, C.POINTER(C.c_char_p)]
            lib.lumatrice_class_count.argtypes = [P, C.POINTER(C.c_int32)]
            lib.lumatrice_close.argtypes = lib.lumatrice_delete_effect.argtypes = [P]
            s1, e1, s2, e2, gone = P(), P(), P(), P(), P()
            lib.lumatrice_open(None, 0, C.byref(s1))
            lib.lumatrice_create_effect(s1, b"Lumatrice", C.byref(e1))
            lib.lumatrice_close(s1)
            lib.lumatrice_open(None, 0, C.byref(s2))
            lib.lumatrice_create_effect(s2, b"Lumatrice", C.byref(gone))
            lib.lumatrice_delete_effect(gone)
            lib.lumatrice_create_effect(s2, b"Lumatrice", C.byref(e2))
            n, text = C.c_int32(), C.c_char_p()
            for h in (e1, gone):
                print(lib.lumatrice_set_text(h, b"Comments", b"stale"), lib.lumatrice_last_error())
                lib.lumatrice_delete_effect(h)
            print(lib.lumatrice_class_count(s1, C.byref(n)), lib.lumatrice_last_error())
            lib.lumatrice_close(s1)
            print(lib.lumatrice_get_text(e2, b"Comments", C.byref(text)), text.value)
            """)
        r = subprocess.run([sys.executable, "-c", program, LIB_PATH], capture_output=True, text=True)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        deleted = "b'lumatrice_set_text: the effect is deleted or its session closed'"
        self.assertEqual(r.stdout.splitlines(), [
            "%d %s" % (E_STATE, deleted), "%d %s" % (E_STATE, deleted),
            "%d b'lumatrice_class_count: the session is closed'" % E_STATE, "0 b''"])


class EffectTest(unittest.TestCase):
    def setUp(self):
        self.effect = P()
        call("lumatrice_create_effect", session, b"Lumatrice", C.byref(self.effect))
        call("lumatrice_set_text", self.effect, b"Comments", b"Take 3")

    def tearDown(self):
        lib.lumatrice_delete_effect(self.effect)

    def test_descriptor_and_dialog_round_trip(self):
        ids, rc_controls = parse_resources()
        block = BlockInfo()
        call("lumatrice_block", self.effect, C.byref(block))
        self.assertEqual((block.dialog_id, block.param_count), (101, 15))
        title = C.c_char_p()
        call("lumatrice_string", self.effect, block.title_id, C.byref(title))
        self.assertEqual(title.value, b"Lumatrice Parameters")

        info = DialogInfo()
        call("lumatrice_dialog", self.effect, 101, C.byref(info))
        controls = []
        for i in range(info.control_count):
            c = ControlInfo()
            call("lumatrice_dialog_control", self.effect, 101, i, C.byref(c))
            controls.append((c.window_class.decode(), c.style & 0xF if c.window_class != b"CustEdit"
                             else None, c.id, c.text.decode(), (c.x, c.y, c.cx, c.cy)))
        self.assertEqual(controls, rc_controls)

        texts = {"Comments", "Slate Author", "Slate Comments"}
        defaults_off = {"Display Filename", "Display Date"}
        by_control = {c[2]: c for c in controls if c[2] != -1}
        seen = set()
        for i in range(15):
            p = ParamInfo()
            call("lumatrice_param", self.effect, i, C.byref(p))
            name = p.name.decode()
            local = C.c_char_p()
            call("lumatrice_string", self.effect, p.local_name_id, C.byref(local))
            self.assertEqual(local.value.decode(), name)
            text = name in texts
            self.assertEqual((p.id, p.type, p.animatable),
                             (i, 8 if text else 4, int(not text and name != "Use Multithreading")),
                             name)
            self.assertEqual((p.default_bool, p.default_text),
                             (0, b"") if text else (int(name not in defaults_off), b""), name)
            cls = by_control[p.control_id][0]
            self.assertEqual((p.control_type, cls), (5, "CustEdit") if text else (2, "Button"), name)
            seen.add(p.control_id)
        self.assertEqual(seen, set(by_control))

    def test_apply_any_sample_type_and_stride(self):
        rows, bufs = {}, {}
        # The last in the display's colours (as a stamped file takes them): the
        # same rows drawn, in other values.
        for sample, space in ((U8, 0), (U16, 0), (HALF, 0), (FLOAT, 0), (FLOAT, 1)):
            call("lumatrice_set_caption_space", session, space, None, None, None)
            try:
                changed, buf, stride = apply(2 * TPF, sample)
            finally:
                call("lumatrice_set_caption_space", session, 0, None, None, None)
            self.assertTrue(changed, sample)
            self.assertFalse({y for y in changed if H // 3 < y < 2 * H // 3}, sample)
            self.assertNotEqual(bufs.setdefault(sample, buf) == buf, bool(space), sample)
            rows[sample] = changed
            if sample == FLOAT:
                hdr = struct.unpack_from("<2f", buf, (H // 2) * stride)
                self.assertEqual(hdr[0], 2.5)
                self.assertTrue(math.isnan(hdr[1]))
        self.assertEqual(len({frozenset(r) for r in rows.values()}), 1, rows)
        rgb, _, _ = apply(2 * TPF, U16, channels=3, pad=0)
        self.assertEqual(rgb, rows[U16])

    def test_keys_and_slate(self):
        keys = (Key * 2)(Key(3 * TPF, 0), Key(0, 1))  # unsorted on purpose
        call("lumatrice_set_bool_keys", self.effect, b"Display Footer", keys, 2)
        got = []
        for frame in (0, 2, 3, 5):
            v = C.c_int32()
            call("lumatrice_get_bool", self.effect, b"Display Footer", frame * TPF, C.byref(v))
            got.append(v.value)
        self.assertEqual(got, [1, 1, 0, 0])
        at2, _, _ = apply(2 * TPF, U16)
        at3, _, _ = apply(3 * TPF, U16)
        self.assertTrue({y for y in at2 if y > H // 2})
        self.assertFalse({y for y in at3 if y > H // 2})

        call("lumatrice_pre_render", session)
        slate, buf, stride = apply(1 * TPF, U16)
        self.assertEqual(len(slate), H)
        self.assertEqual(struct.unpack_from("<4H", buf, (H // 2) * stride + 8 * 8),
                         (0x4000, 0x4000, 0x4000, 0xFFFF))
        after, _, _ = apply(2 * TPF, U16)
        self.assertEqual(after, at2)

    def stamp_case(self, name, channels, sample):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, name)
            subprocess.run([TOOL, "write", path, channels, sample, str(W), str(H)], check=True)
            before = dump(path)
            inode = os.stat(path).st_ino
            call("lumatrice_stamp_file", session, path.encode(), 2 * TPF)
            after = dump(path)
            lock = "." + re.sub(r"[0-9]+(\.[a-z]+)$", r"#\1", name) + ".lumatrice-lock"
            self.assertEqual(sorted(os.listdir(d)), sorted([name, lock]))
            self.assertNotEqual(os.stat(path).st_ino, inode)  # replaced by rename
            stamped = read(path)
            with self.assertRaises(Failed) as again:
                call("lumatrice_stamp_file", session, path.encode(), 2 * TPF)
            self.assertEqual(again.exception.code, E_STAMPED)
            self.assertTrue(str(again.exception).startswith("lumatrice_stamp_file: " + path))
            self.assertEqual(read(path), stamped)
            return before, after

    def test_stamp_in_place(self):
        for name, sample in (("f.0002.png", "uint16"), ("f.0002.tif", "uint8"),
                             ("f.0002.exr", "half")):
            with self.subTest(name):
                before, after = self.stamp_case(name, "R,G,B,A", sample)
                self.assertEqual((after["channels"], after["format"]),
                                 (before["channels"], before["format"]))
                attrs = after["attributes"]
                self.assertEqual(attrs.get("Software"), "frame_tool")
                if name.endswith(".tif"):
                    self.assertIn("Lumatrice:Marker ", attrs.get("ImageDescription", ""))
                else:
                    self.assertEqual(attrs.get("Lumatrice:Stamped"), "yes")
                changed = {y for y in range(H) if before["rows"][y] != after["rows"][y]}
                self.assertTrue(changed)
                self.assertFalse({y for y in changed if H // 3 < y < 2 * H // 3})

    def test_stamp_multilayer_exr(self):
        # "AO" sorts before "Combined" in the file: a stamp of the first R, G, B found hits it.
        names = (["ViewLayer.Combined." + c for c in "RGBA"] +
                 ["ViewLayer.AO." + c for c in "RGB"] + ["ViewLayer.Depth.Z"])
        before, after = self.stamp_case("ml.0002.exr", ",".join(names), "half")
        column = lambda dump, name: [r[dump["channels"].index(name)] for r in dump["rows"]]
        for name in names:
            with self.subTest(name):
                if ".Combined." not in name:
                    self.assertEqual(column(after, name), column(before, name))
                elif not name.endswith(".A"):  # alpha changes only where the caption is opaque
                    self.assertNotEqual(column(after, name), column(before, name))

    def test_stamp_file_writes_what_the_program_writes(self):
        # Same clock, scene path and settings: the same bytes, spliced both ways, for a
        # layered file too (one rule picks its pass), and for a name without an extension
        # whose format the caller gives.
        layered = "ViewLayer.AO.R,ViewLayer.AO.G,ViewLayer.AO.B," \
            "ViewLayer.Combined.R,ViewLayer.Combined.G,ViewLayer.Combined.B,ViewLayer.Combined.A"
        for channels, bare in (("R,G,B,A", "f_0002"), (layered, None)):
            with self.subTest(channels), tempfile.TemporaryDirectory() as d:
                src, cli = os.path.join(d, "in.0002.exr"), os.path.join(d, "cli.0002.exr")
                subprocess.run([TOOL, "write", src, channels, "half", str(W), str(H)], check=True)
                run = subprocess.run(
                    [PROGRAM, "stamp", src, "-o", cli, "-q", "--render-start", "0",
                     "--clock", "2026-12-07T09:00:00", "--scene-path",
                     "/shots/sc\u00e8ne/sh010.blend", "--set", "Comments=Take 3"],
                    check=True, capture_output=True, text=True)
                self.assertIn("1 spliced", run.stdout)
                calls = [("lumatrice_stamp_file", "api.0002.exr", ())]
                if bare:
                    calls.append(("lumatrice_stamp_file_as", bare, (b"exr",)))
                for name, target, args in calls:
                    target = os.path.join(d, target)
                    with open(src, "rb") as f, open(target, "wb") as out:
                        out.write(f.read())
                    call(name, session, target.encode(), TPF, *args)
                    self.assertEqual(read(target), read(cli), name)
                if bare:
                    self.assertEqual(lib.lumatrice_stamp_file_as(session, os.path.join(d, bare).encode(), 0, b"nope"),
                                     E_UNSUPPORTED)

    def test_errors_name_the_call_and_leave_files_alone(self):
        with tempfile.TemporaryDirectory() as d:
            layered = os.path.join(d, "layers.exr")
            subprocess.run([TOOL, "write", layered, "diffuse.R,diffuse.G,diffuse.B,spec.R,spec.G,spec.B",
                            "half", "8", "8"], check=True)
            junk = os.path.join(d, "junk.png")
            with open(junk, "wb") as f:
                f.write(b"not an image")
            e = P()
            small = C.create_string_buffer(16)
            frame = Frame(C.cast(small, C.c_void_p), W, H, 4, 4, U8)  # stride under a row
            huge = Frame(C.cast(small, C.c_void_p), 65535, 65535, 65535 * 4, 4, U8)
            empty = Frame(C.cast(small, C.c_void_p), 0, 0, 4, 4, U8)
            far = Frame(C.cast(small, C.c_void_p), W, 10, 1 << 62, 4, U8)  # rows past memory
            wide = os.path.join(d, "wide.png")
            subprocess.run([TOOL, "write", wide, "R,G,B", "uint8", "70000", "1"], check=True)
            files = {p: read(p) for p in (layered, junk, wide)}
            limit = "is over the frame-size limit: "
            cases = [
                ("lumatrice_open", (None, 0, C.byref(e)), E_STATE),
                ("lumatrice_create_effect", (session, b"Nope", C.byref(e)), E_NOT_FOUND),
                ("lumatrice_set_text", (self.effect, b"Comments", "\u2713".encode()), E_ARGUMENT),
                ("lumatrice_set_bool", (self.effect, b"Comments", 1), E_ARGUMENT),
                ("lumatrice_set_bool_keys", (self.effect, b"Use Multithreading", (Key * 1)(), 1),
                 E_ARGUMENT),
                ("lumatrice_set_frame_rate", (session, 7), E_ARGUMENT),
                ("lumatrice_pin_clock", (session, b"2026-04-31"), E_ARGUMENT),
                ("lumatrice_apply", (session, 0, C.byref(frame)), E_ARGUMENT),
                ("lumatrice_apply", (session, 0, C.byref(huge)), E_ARGUMENT,
                 "65535x65535 " + limit + "at most 268435456 pixels"),
                ("lumatrice_apply", (session, 0, C.byref(empty)), E_ARGUMENT,
                 "0x0 has no pixels: each side must be 1 to 65535 pixels"),
                ("lumatrice_apply", (session, 0, C.byref(far)), E_ARGUMENT,
                 "row stride 4611686018427387904 times 10 rows is more memory than there is"),
                ("lumatrice_require_version", (2, 0), E_VERSION,
                 "API major version mismatch: the library is 1.3, the caller needs major version 2"),
                ("lumatrice_require_version", (1, 7), E_VERSION,
                 "the library is API 1.3, the caller needs 1.7 or a later 1.x"),
                ("lumatrice_stamp_file", (session, wide.encode(), 0), E_UNSUPPORTED,
                 wide + ": 70000x1 " + limit + "each side must be 1 to 65535 pixels"),
                ("lumatrice_stamp_file", (session, junk.encode(), 0), E_IO),
                ("lumatrice_stamp_file", (session, layered.encode(), 0), E_UNSUPPORTED),
                ("lumatrice_stamp_file", (session, os.path.join(d, "gone.png").encode(), 0),
                 E_NOT_FOUND),
                ("lumatrice_set_caption_space", (session, 2, None, None, None), E_ARGUMENT,
                 "caption space 2 is neither"),
                ("lumatrice_set_caption_space", (session, 1, None, b"P3", None), E_NOT_FOUND,
                 'display "P3" is not in colour config'),
                ("lumatrice_set_caption_space", (session, 1, os.path.join(d, "no.ocio").encode(),
                                                 None, None), E_IO, "colour config "),
            ]
            for fn, args, code, *message in cases:
                with self.subTest(fn, code=code):
                    self.assertEqual(getattr(lib, fn)(*args), code)
                    self.assertEqual(lib.lumatrice_last_error_code(), code)
                    self.assertTrue(lib.lumatrice_last_error().decode().startswith(
                        fn + ": " + "".join(message)))
            self.assertEqual({p: read(p) for p in files}, files)
            self.assertEqual(sorted(f for f in os.listdir(d) if not f.endswith(".lumatrice-lock")),
                             ["junk.png", "layers.exr", "wide.png"])

        call("lumatrice_set_text", self.effect, b"Comments", "caf\u00e9 \u20ac5".encode())
        text, clock = C.c_char_p(), C.c_char_p()
        call("lumatrice_get_text", self.effect, b"Comments", C.byref(text))
        call("lumatrice_read_clock", session, C.byref(clock))
        self.assertEqual((text.value.decode(), clock.value), ("caf\u00e9 \u20ac5", b"2026-12-07T09:00:00"))
        self.assertEqual(lib.lumatrice_api_version() >> 16, 1)
        self.assertEqual(lib.lumatrice_require_version(1, 0), OK)
        mirrors = [BlockInfo, ParamInfo, DialogInfo, ControlInfo, Key, Frame]
        self.assertEqual([lib.lumatrice_struct_size(k) for k in range(2, 9)],
                         [C.sizeof(m) for m in mirrors] + [0])

    def test_a_throwing_module_fails_the_call_naming_module_class_and_call(self):
        thrower = P()
        call("lumatrice_create_effect", session, b"Throwing Effect", C.byref(thrower))
        buf = C.create_string_buffer(W * H * 4)
        frame = Frame(C.cast(buf, C.c_void_p), W, H, W * 4, 4, U8)
        try:
            for fault, fn, args in (("RenderBegin", "lumatrice_render_begin", (session, 0)),
                                    ("Notify", "lumatrice_pre_render", (session,)),
                                    ("Apply", "lumatrice_apply", (session, 0, C.byref(frame)))):
                with self.subTest(fault):
                    os.environ["LUMATRICE_TEST_THROW"] = fault
                    self.assertEqual(getattr(lib, fn)(*args), E_PLUGIN)
                    self.assertEqual(lib.lumatrice_last_error().decode(),
                                     "%s: throwing_effect.dlv: Throwing Effect: %s threw: "
                                     "test fault in %s" % (
                                         fn, "pre-render notification" if fault == "Notify"
                                         else fault, fault))
        finally:
            del os.environ["LUMATRICE_TEST_THROW"]
            lib.lumatrice_delete_effect(thrower)

class AddonBindingTest(unittest.TestCase):
    """The add-on's bindings refuse, at load, a library they do not mirror."""

    def test_version_and_struct_sizes_are_checked_at_load(self):
        addon.Library(LIB_PATH)
        stubs = [
            ({"lumatrice_api_version": lambda: 2 << 16}, "API major version mismatch: the library"
             " is API 2.0, this add-on needs 1.3 or a later 1.x"),
            ({"lumatrice_api_version": lambda: 1 << 16}, "library too old: the library is API 1.0"),
            ({"lumatrice_api_version": lambda: (1 << 16) | 2,
              "lumatrice_require_version": lambda *_: OK, "lumatrice_last_error": lambda: b"",
              "lumatrice_struct_size": lambda kind: 999},
             "struct ClassInfo is 999 bytes in the library, %d here" % C.sizeof(addon.ClassInfo)),
        ]
        with tempfile.NamedTemporaryFile(suffix=".so") as fake, \
                mock.patch.dict(os.environ, {"LUMATRICE_LIBRARY": ""}):
            for symbols, message in stubs:
                dll = types.SimpleNamespace(**symbols)
                with self.subTest(message), mock.patch.object(addon.ctypes, "CDLL", lambda p: dll):
                    with self.assertRaises(addon.LumatriceError) as e:
                        addon.load("/nowhere", fake.name)
                    self.assertEqual(e.exception.code, E_VERSION)
                    self.assertIn(fake.name + ": " + message, str(e.exception))


if __name__ == "__main__":
    unittest.main(verbosity=2)
