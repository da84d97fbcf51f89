#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/,
from the cases the unit tests use. Run again after changing an input layout;
the resource seeds need the module's compiled .res (argument 1), the image
seeds the built lumatrice program (argument 2) for its own rendered frames."""
import pathlib
import struct
import subprocess
import sys
import tempfile
import zlib

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


# ---- image files: frames the program writes, and layouts it splices ------
W, H = 24, 20


def pattern(n):
    return [(i * 37 + i // 7) & 0xFFFF for i in range(n)]


def packbits(data):
    out = b""
    for i in range(0, len(data), 128):
        piece = data[i:i + 128]
        out += bytes([len(piece) - 1]) + piece
    return out


def tiff(bits=8, spp=3, fmt=1, big=False, compression=1, predictor=1, tile=0, rows=4):
    """One image, chunky, in strips of `rows` rows or `tile`-square tiles."""
    e = ">" if big else "<"
    size = bits // 8
    if fmt == 3:
        raw = b"".join(struct.pack(e + "f", (v % 997) / 500.0 - 0.5) for v in pattern(W * H * spp))
    else:
        raw = b"".join(struct.pack(e + {1: "B", 2: "H"}[size], v & ((1 << bits) - 1))
                       for v in pattern(W * H * spp))
    row = W * spp * size
    bw, bh = (tile, tile) if tile else (W, rows)
    blocks = []
    for by in range(0, H, bh):
        for bx in range(0, W, bw):
            block = b""
            for y in range(by, by + bh):
                line = raw[y * row + bx * spp * size:y * row + (bx + bw) * spp * size] if y < H else b""
                line = line.ljust(bw * spp * size, b"\0")
                if predictor == 2 and size == 1:
                    line = bytes([line[i] if i < spp else (line[i] - line[i - spp]) & 0xFF
                                  for i in range(len(line))])
                block += line
            if not tile and by + bh > H:
                block = block[:(H - by) * row]
            blocks.append({1: block, 8: zlib.compress(block), 32773: packbits(block)}[compression])
    tags = {256: (4, [W]), 257: (4, [H]), 258: (3, [bits] * spp), 259: (3, [compression]),
            262: (3, [2 if spp >= 3 else 1]), 277: (3, [spp]), 284: (3, [1]), 339: (3, [fmt] * spp)}
    if predictor != 1:
        tags[317] = (3, [predictor])
    if spp in (2, 4):
        tags[338] = (3, [2])
    data_at = 8
    body = b"".join(blocks)
    offsets, at = [], data_at
    for b in blocks:
        offsets.append(at)
        at += len(b)
    if tile:
        tags.update({322: (4, [tile]), 323: (4, [tile]), 324: (4, offsets),
                     325: (4, [len(b) for b in blocks])})
    else:
        tags.update({273: (4, offsets), 278: (4, [rows]), 279: (4, [len(b) for b in blocks])})
    ifd_at = data_at + len(body) + (len(body) & 1)
    extra_at = ifd_at + 2 + 12 * len(tags) + 4
    ifd, extra = b"", b""
    for tag in sorted(tags):
        typ, vals = tags[tag]
        packed = b"".join(struct.pack(e + ("H" if typ == 3 else "I"), v) for v in vals)
        if len(packed) <= 4:
            ifd += struct.pack(e + "HHI", tag, typ, len(vals)) + packed.ljust(4, b"\0")
        else:
            ifd += struct.pack(e + "HHII", tag, typ, len(vals), extra_at + len(extra))
            extra += packed
    head = (b"MM" if big else b"II") + struct.pack(e + "HI", 42, ifd_at)
    return (head + body + b"\0" * (ifd_at - data_at - len(body)) +
            struct.pack(e + "H", len(tags)) + ifd + struct.pack(e + "I", 0) + extra)


def dpx(bits=8, big=True, descriptor=50, packing=1):
    e = ">" if big else "<"
    spp = {50: 3, 51: 4, 6: 1}[descriptor]
    vals = pattern(W * H * spp)
    if bits == 10:
        data = b""
        for y in range(H):
            line = [v & 0x3FF for v in vals[y * W * spp:(y + 1) * W * spp]]
            line += [0] * (-len(line) % 3)
            data += b"".join(struct.pack(e + "I", a << 22 | b << 12 | c << 2)
                             for a, b, c in zip(line[0::3], line[1::3], line[2::3]))
    else:
        data = b"".join(struct.pack(e + ("B" if bits == 8 else "H"), v & ((1 << bits) - 1))
                        for v in vals)
        data += b"\0" * (-len(data) % 4)
    offset = 2048
    head = bytearray(offset)
    head[0:4] = b"SDPX" if big else b"XPDS"
    struct.pack_into(e + "II", head, 4, offset, offset + len(data))
    head[8:12] = b"V2.0"
    struct.pack_into(e + "HHII", head, 768, 0, 1, W, H)
    struct.pack_into(e + "I", head, 780, 0)
    head[800], head[801], head[802], head[803] = descriptor, 2, 2, bits
    struct.pack_into(e + "HHIII", head, 804, packing if bits == 10 else 0, 0, offset, 0, 0)
    return bytes(head) + data


def exr_attr(name, typ, value):
    return name.encode() + b"\0" + typ.encode() + b"\0" + struct.pack("<i", len(value)) + value


def exr(compression=0, lines=1):
    """Scanline half RGB; compression 0 none, 2 ZIPS, 3 ZIP."""
    chans = b"".join(c + b"\0" + struct.pack("<iBBBBii", 1, 0, 0, 0, 0, 1, 1) for c in (b"B", b"G", b"R"))
    box = struct.pack("<iiii", 0, 0, W - 1, H - 1)
    header = (b"\x76\x2f\x31\x01" + struct.pack("<I", 2) +
              exr_attr("channels", "chlist", chans + b"\0") +
              exr_attr("compression", "compression", bytes([compression])) +
              exr_attr("dataWindow", "box2i", box) + exr_attr("displayWindow", "box2i", box) +
              exr_attr("lineOrder", "lineOrder", b"\0") +
              exr_attr("pixelAspectRatio", "float", struct.pack("<f", 1)) +
              exr_attr("screenWindowCenter", "v2f", struct.pack("<ff", 0, 0)) +
              exr_attr("screenWindowWidth", "float", struct.pack("<f", 1)) + b"\0")
    vals = pattern(W * H * 3)
    chunks = []
    for y0 in range(0, H, lines):
        raw = b""
        for y in range(y0, min(H, y0 + lines)):
            for c in range(3):
                raw += b"".join(struct.pack("<H", 0x3C00 | (vals[(y * W + x) * 3 + c] & 0x3FF))
                                for x in range(W))
        if compression:
            split = raw[0::2] + raw[1::2]
            delta = bytes([split[0]] + [(split[i] - split[i - 1] + 128) & 0xFF
                                        for i in range(1, len(split))])
            packed = zlib.compress(delta)
            raw = packed if len(packed) < len(raw) else raw
        chunks.append(struct.pack("<ii", y0, len(raw)) + raw)
    at = len(header) + 8 * len(chunks)
    table = b""
    for c in chunks:
        table += struct.pack("<Q", at)
        at += len(c)
    return header + table + b"".join(chunks)


def rendered(lumatrice, ext):
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([lumatrice, "render", "-o", f"{tmp}/r.#.{ext}", "--frames", "2",
                        "--size", f"{W * 2}x{H * 2}", "-q"], check=True)
        return pathlib.Path(f"{tmp}/r.0002.{ext}").read_bytes()


def image_seeds(lumatrice):
    tif = {"rgb8_strips": tiff(), "rgb8_deflate_predictor": tiff(compression=8, predictor=2),
           "rgba8_packbits": tiff(spp=4, compression=32773), "grey16_big": tiff(16, 1, big=True),
           "rgb16_deflate_tiles": tiff(16, compression=8, tile=16),
           "float_big_deflate": tiff(32, 3, 3, big=True, compression=8, rows=8),
           "rgb8_tiles": tiff(tile=16), "one_strip": tiff(rows=H)}
    dpxs = {"rgb10_big": dpx(10), "rgb10_little": dpx(10, big=False), "rgb8": dpx(8),
            "rgb16_little": dpx(16, big=False), "rgba8": dpx(8, descriptor=51),
            "luma16": dpx(16, descriptor=6), "rgb10_packed": dpx(10, packing=0)}
    exrs = {"none": exr(), "zips": exr(2), "zip": exr(3, 16)}
    # The bad-input table's damaged headers.
    sign = bytearray(dpxs["rgb8"])
    struct.pack_into(">I", sign, 780, 1)
    dpxs["signed"] = bytes(sign)
    claim = bytearray(exrs["none"])
    struct.pack_into("<i", claim, claim.index(b"chlist\0") + 7, 0x7FFFFFFF)
    exrs["claims_2gib"] = bytes(claim)
    if lumatrice:
        exrs["rendered"] = rendered(lumatrice, "exr")
        tif["rendered"] = rendered(lumatrice, "tif")
        dpxs["rendered"] = rendered(lumatrice, "dpx")
    return {"fuzz_exr_blocks": exrs, "fuzz_tiff_blocks": tif, "fuzz_dpx_blocks": dpxs}


def write(target, seeds):
    folder = ROOT / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


def main():
    write("fuzz_param_list", param_list_seeds())
    write("fuzz_captions", caption_seeds())
    write("fuzz_scene", scene_seeds())
    if len(sys.argv) > 1 and sys.argv[1]:
        write("fuzz_resources", resource_seeds(sys.argv[1]))
    for target, seeds in image_seeds(sys.argv[2] if len(sys.argv) > 2 else None).items():
        write(target, seeds)


if __name__ == "__main__":
    main()
