#!/usr/bin/python3
"""Stamps image files in place through liblumatrice, the way the Blender
add-on does, and prints the time: the library's side of the spliced-write
figures in docs/performance.md.

    stamp_api.py LIBLUMATRICE CLOCK FILE...

File i is stamped as frame i + 1 at 30 fps, captions on, no slate."""
import ctypes as C
import sys
import time

lib = C.CDLL(sys.argv[1])
lib.lumatrice_last_error.restype = C.c_char_p
P = C.c_void_p


def call(name, *args):
    if getattr(lib, name)(*args) != 0:
        sys.exit("stamp_api: " + lib.lumatrice_last_error().decode())


session, effect = P(), P()
call("lumatrice_open", None, 0, C.byref(session))
call("lumatrice_pin_clock", session, sys.argv[2].encode())
call("lumatrice_create_effect", session, b"Lumatrice", C.byref(effect))
call("lumatrice_set_text", effect, b"Comments", b"Lumatrice bench")
files = sys.argv[3:]
start = time.perf_counter()
for i, path in enumerate(files):
    call("lumatrice_stamp_file", session, path.encode(), (i + 1) * 160)
took = time.perf_counter() - start
lib.lumatrice_close(session)
print("stamp_api: %d frames in %.2f s (%.1f ms/frame)" % (len(files), took, 1e3 * took / len(files)))
