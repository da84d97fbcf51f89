#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/,
from the cases the unit tests use. Run again after changing an input layout;
the resource seeds need the module's compiled .res (argument 1)."""
import pathlib
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"

# ---- tagged list (layout in fuzz_param_list.cpp) ----------------------------
P_DEFAULT, P_UI, END = "p_default", "p_ui", "end"
BOOL, STRING, BOX, EDIT, ANIM = 4, 8, 2, 5, 1


class Ptr:
    pass


def encode_list(flags, items):
    out = struct.pack("<H", flags)
    for it in items:
        if it == END:
            out += b"\x03"
        elif it == P_DEFAULT:
            out += b"\x04"
        elif it == P_UI:
            out += b"\x05"
        elif isinstance(it, Ptr):
            out += b"\x02"
        elif it is None:
            out += b"\x01\xff"
        elif isinstance(it, str):
            data = it.encode("latin-1")
            out += b"\x01" + bytes([len(data)]) + data
        elif -4 <= it <= 27:
            out += bytes([6 | ((it + 4) << 3)])
        elif -32768 <= it <= 32767:
            out += b"\x07" + struct.pack("<h", it)
        else:
            out += b"\x00" + struct.pack("<I", it & 0xFFFFFFFF)
    return out


def module_list():
    rows = [
        (0, "Display Header", BOOL, ANIM, 30506, 1, BOX, 1004),
        (1, "Display Footer", BOOL, ANIM, 30507, 1, BOX, 1005),
        (2, "Display Comments", BOOL, ANIM, 30508, 1, BOX, 1009),
        (3, "Comments", STRING, 0, 30512, "", EDIT, 1011),
        (4, "Display Frames", BOOL, ANIM, 30509, 1, BOX, 1006),
        (5, "Display Filename", BOOL, ANIM, 30510, 0, BOX, 1007),
        (6, "Display Date", BOOL, ANIM, 30511, 0, BOX, 1008),
        (7, "Display Slate", BOOL, ANIM, 30513, 1, BOX, 1012),
        (8, "Display Slate Author", BOOL, ANIM, 30514, 1, BOX, 1016),
        (9, "Slate Author", STRING, 0, 30515, "", EDIT, 1017),
        (10, "Display Slate Comments", BOOL, ANIM, 30516, 1, BOX, 1010),
        (11, "Slate Comments", STRING, 0, 30517, "", EDIT, 1013),
        (12, "Display Slate Filename", BOOL, ANIM, 30518, 1, BOX, 1014),
        (13, "Display Slate Time & Date", BOOL, ANIM, 30519, 1, BOX, 1015),
        (14, "Use Multithreading", BOOL, 0, 30520, 1, BOX, 1018),
    ]
    items = [0, 101, 30502, 0, 0, Ptr()]
    for pid, name, typ, flags, local, default, ctrl, ctrl_id in rows:
        items += [pid, name, typ, flags, local, P_DEFAULT, default, P_UI, ctrl, ctrl_id, END]
    return items + [END]


def param_list_seeds():
    seeds = {"module_list": encode_list(6, module_list())}
    bad = {
        "unknown_tag": (0, [0, "A", BOOL, 0, 0, 0xC0000099, 1, END, END]),
        "unknown_type": (0, [0, "A", 7, 0, 0, END, END]),
        "null_name": (0, [0, None, BOOL, 0, 0, END, END]),
        "empty_name": (0, [0, "", BOOL, 0, 0, END, END]),
        "duplicate_id": (0, [4, "A", BOOL, 0, 0, END, 4, "B", BOOL, 0, 0, END, END]),
        "edit_box_on_switch": (0, [0, "A", BOOL, 0, 0, P_UI, EDIT, 1, END, END]),
        "check_box_on_text": (0, [0, "A", STRING, 0, 0, P_UI, BOX, 1, END, END]),
        "no_closing_end": (0, [0, "A", BOOL, 0, 0, END]),
        "ends_in_p_ui": (0, [0, "A", BOOL, 0, 0, P_UI, BOX]),
        "ends_in_header": (6, [0, 101, 1]),
        "text_for_int": (0, [0, "A", "B", 0, 0, END, END]),
        "id_out_of_range": (0, [70000, "A", BOOL, 0, 0, END, END]),
        "text_default": (0, [3, "Copy", STRING, 0, 0, P_DEFAULT, "start", END, END]),
    }
    for name, (flags, items) in bad.items():
        seeds[name] = encode_list(flags, items)
    return seeds


# ---- one apply call (layout in fuzz_captions.cpp) ---------------------------
ALL_ON = 0xFFF
SLATE_BITS = (1 << 6) | (1 << 7) | (1 << 8) | (1 << 9) | (1 << 10)


def apply_case(w, h, switches=ALL_ON, mode=0, cancel=0, display=0, t=0,
               comments=b"take 3", author=b"Ada", slate_comments=b"final",
               path=b"C:\\shows\\ep1\\sh010.max"):
    out = struct.pack("<IIHBBBi", w, h, switches, mode, cancel, display, t)
    for text in (comments, author, slate_comments, path):
        out += struct.pack("<I", len(text)) + text
    return out


def caption_seeds():
    seeds = {
        "captions_640x480": apply_case(640, 480),
        "slate_640x480_split": apply_case(640, 480, mode=1),
        "slate_640x480_single": apply_case(640, 480, ALL_ON & ~(1 << 11), mode=1),
        "slate_worker_fails": apply_case(640, 480, mode=3),
        "slate_cancel_first_row": apply_case(640, 480, ALL_ON & ~(1 << 11), mode=1, cancel=1),
        "captions_cancel": apply_case(320, 240, cancel=1),
        "raster_screen_fails": apply_case(64, 48, mode=4 | (0 << 3)),
        "raster_memory_fails": apply_case(64, 48, mode=5 | (1 << 3)),
        "raster_bitmap_fails": apply_case(64, 48, mode=4 | (2 << 3)),
        "width_zero": apply_case(0, 480),
        "no_storage": apply_case(0, 0, mode=1),
        "too_wide": apply_case(70000, 3),
        "too_tall": apply_case(3, 70000, mode=1),
        "widest": apply_case(65535, 1),
        "tallest_slate": apply_case(1, 65535, mode=1),
        "untitled": apply_case(200, 100, path=b""),
        "long_texts": apply_case(800, 60, comments=b"c" * 300, author=b"a" * 1000,
                                 slate_comments=b"\xff" * 256, path=b"/" * 600),
        "smpte_negative_time": apply_case(320, 50, display=1, t=-4800 * 61),
        "ticks_display": apply_case(320, 50, display=2 | (3 << 2), t=0x7FFFFFFF),
        "mmss_display": apply_case(320, 50, display=3 | (5 << 2), t=-0x80000000),
        "all_off": apply_case(100, 100, switches=0),
        "slate_blocks_only_file_time": apply_case(640, 480, SLATE_BITS & ~0x180, mode=1),
    }
    # Once failed: the split-against-single comparison on a frame without columns.
    seeds["width_zero_split_slate"] = apply_case(0, 480, mode=1)
    for h in (1, 2, 4, 5, 22, 23, 24, 25, 42, 43, 44, 219, 221):
        seeds[f"captions_h{h}"] = apply_case(64, h)
        seeds[f"slate_h{h}"] = apply_case(64, h, mode=1)
    return seeds


# ---- resources: the module's .res, whole and split -------------------------
def res_entries(data):
    pos = 0
    while pos + 8 <= len(data):
        size, header = struct.unpack_from("<II", data, pos)
        typ = struct.unpack_from("<HH", data, pos + 8)
        name = struct.unpack_from("<HH", data, pos + 12)
        yield typ, name, data[pos + header:pos + header + size]
        pos = (pos + header + size + 3) & ~3


def resource_seeds(res_path):
    data = pathlib.Path(res_path).read_bytes()
    seeds = {"module_res": data, "empty": b"", "truncated_res": data[: len(data) // 2]}
    for i, (typ, name, body) in enumerate(res_entries(data)):
        if typ[0] == 0xFFFF and typ[1] in (5, 6, 16):
            seeds[f"raw_type{typ[1]}_{name[1]}"] = body
    return seeds


# ---- scene files ----------------------------------------------------------
LUMATRICE = '"class_id": ["0x31b82d35", "0x47d45ce7"], "superclass_id": 4240'


def scene_with(entries, settings="{}"):
    return f'{{"format_version": 1, "settings": {settings}, "render_effects": [{entries}]}}'


def scene_seeds():
    full = scene_with(
        "{" + LUMATRICE + ', "class_name": "Lumatrice", "data_base64": "", '
        '"reference_0": {"block_id": 0, "parameters": {"Display Header": true, '
        '"Comments": "take \\"3\\"", "Display Date": {"value": false, "keys": '
        '[{"time": 960, "value": true}, {"time": 1920, "value": false}]}, '
        '"Use Multithreading": false}}}',
        '{"frame_rate": 25, "time_display": "SMPTE", "clock": "2002-03-07T09:05:03", '
        '"scene_path": "C:\\\\shows\\\\ep1\\\\sh010.max"}')
    unknown = ('{"superclass_id": 4240, "class_id": [1, "0x2"], "class_name": "Blur", '
               '"data_hex": "00010203", "reference_0": {"parameters": {"Radius": 3.5, '
               '"Mode": ["a", {"b": null}]}}}')
    texts = {
        "full": full,
        "unknown_class": scene_with(unknown + ", {" + LUMATRICE + "}"),
        "minimal": '{"format_version": 1}',
        "bad_comma": '{\n  "format_version": 1,\n  "settings": {,}\n}',
        "empty": "",
        "version_2": '{"format_version": 2}',
        "string_version": '{"format_version": "1"}',
        "extra_field": '{"format_version": 1, "extra": 1}',
        "rate_7": '{"format_version": 1, "settings": {"frame_rate": 7}}',
        "bad_clock": '{"format_version": 1, "settings": {"clock": "2002-02-30T00:00:00"}}',
        "bad_size": '{"format_version": 1, "settings": {"size": "12x"}}',
        "bad_base64": scene_with('{"class_id": [1, 2], "superclass_id": 1, "data_base64": "abc"}'),
        "bad_hex": scene_with('{"class_id": [1, 2], "superclass_id": 1, "data_hex": "0g"}'),
        "unknown_param": scene_with("{" + LUMATRICE + ', "reference_0": {"parameters": {"Bogus": true}}}'),
        "keyed_not_animatable": scene_with(
            "{" + LUMATRICE + ', "reference_0": {"parameters": {"Use Multithreading": '
            '{"keys": [{"time": 0, "value": true}]}}}}'),
    }
    return {k: v.encode() for k, v in texts.items()}


def write(target, seeds):
    folder = ROOT / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


def main():
    write("fuzz_param_list", param_list_seeds())
    write("fuzz_captions", caption_seeds())
    write("fuzz_scene", scene_seeds())
    if len(sys.argv) > 1:
        write("fuzz_resources", resource_seeds(sys.argv[1]))


if __name__ == "__main__":
    main()
