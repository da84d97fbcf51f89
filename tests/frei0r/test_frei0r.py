"""The frei0r filter in the real hosts: ffmpeg, melt, GStreamer.

Each host's frames must equal, byte for byte, what liblumatrice itself makes
of the same unfiltered pixels with the same settings.
usage: test_frei0r.py FILTER_DIR LIBLUMATRICE LUMATRICE FFMPEG MELT GST_LAUNCH [unittest args]
(MELT and GST_LAUNCH may be "" when the host is not installed)."""
import ctypes as C
import os
import subprocess
import sys
import tempfile
import unittest

FILTER_DIR, LIB_PATH, LUMATRICE, FFMPEG, MELT, GST = sys.argv[1:7]
W, H = 320, 240
FRAME = W * H * 4
CLOCK = "2026-12-07T09:00:00"
TICKS_PER_FRAME = 4800 // 25
SLATE_GREY = bytes([0x40, 0x40, 0x40, 0xFF])
# Rows the captions may touch: header, footer.
CAPTION_ROWS = set(range(2, 22)) | set(range(H - 20, H - 2))


class Frame(C.Structure):
    _fields_ = [("pixels", C.c_void_p), ("width", C.c_int32), ("height", C.c_int32),
                ("row_stride", C.c_int64), ("channels", C.c_int32), ("sample", C.c_int32)]


class Key(C.Structure):
    _fields_ = [("time", C.c_int32), ("value", C.c_int32)]


lib = C.CDLL(LIB_PATH)
lib.lumatrice_last_error.restype = C.c_char_p
P = C.c_void_p
for name, args in {
        "lumatrice_open": [P, C.c_int32, C.POINTER(P)], "lumatrice_close": [P],
        "lumatrice_create_effect": [P, C.c_char_p, C.POINTER(P)],
        "lumatrice_set_bool": [P, C.c_char_p, C.c_int32],
        "lumatrice_set_bool_keys": [P, C.c_char_p, C.POINTER(Key), C.c_int32],
        "lumatrice_set_text": [P, C.c_char_p, C.c_char_p],
        "lumatrice_pin_clock": [P, C.c_char_p], "lumatrice_set_frame_rate": [P, C.c_int32],
        "lumatrice_set_scene_path": [P, C.c_char_p], "lumatrice_pre_render": [P],
        "lumatrice_apply": [P, C.c_int32, C.POINTER(Frame)]}.items():
    getattr(lib, name).argtypes = args


def call(name, *args):
    if getattr(lib, name)(*args) != 0:
        raise AssertionError(lib.lumatrice_last_error().decode())


def reference(frames, switches=(), texts=(), keys=(), scene=""):
    """The frames as liblumatrice stamps them: frame 0 carries the slate."""
    session, effect = P(), P()
    call("lumatrice_open", None, 0, C.byref(session))
    try:
        call("lumatrice_create_effect", session, b"Lumatrice", C.byref(effect))
        for name, value in switches:
            call("lumatrice_set_bool", effect, name.encode(), value)
        for name, value in texts:
            call("lumatrice_set_text", effect, name.encode(), value.encode())
        for name, pairs in keys:
            arr = (Key * len(pairs))(*[Key(f * TICKS_PER_FRAME, v) for f, v in pairs])
            call("lumatrice_set_bool_keys", effect, name.encode(), arr, len(pairs))
        call("lumatrice_set_frame_rate", session, 25)
        call("lumatrice_set_scene_path", session, scene.encode())
        call("lumatrice_pin_clock", session, CLOCK.encode())
        out = []
        for i, pixels in enumerate(frames):
            buf = C.create_string_buffer(pixels, FRAME)
            frame = Frame(C.cast(buf, C.c_void_p), W, H, W * 4, 4, 1)
            if i == 0:
                call("lumatrice_pre_render", session)
            call("lumatrice_apply", session, i * TICKS_PER_FRAME, C.byref(frame))
            out.append(buf.raw[:FRAME])
        return out
    finally:
        lib.lumatrice_close(session)


def split(data, count):
    assert len(data) == count * FRAME, f"{len(data)} bytes for {count} frames"
    return [data[i * FRAME:(i + 1) * FRAME] for i in range(count)]


def changed_rows(a, b):
    return {y for y in range(H) if a[y * W * 4:(y + 1) * W * 4] != b[y * W * 4:(y + 1) * W * 4]}


def run(args, env=None):
    full = dict(os.environ, FREI0R_PATH=FILTER_DIR, LUMATRICE_CLOCK=CLOCK)
    full.update(env or {})
    done = subprocess.run(args, capture_output=True, env=full, timeout=120)
    if done.returncode != 0:
        raise AssertionError(f"{args[0]} failed ({done.returncode}): {done.stderr.decode()[-2000:]}")
    return done


class Common(unittest.TestCase):
    def assertFramesEqual(self, got, want):
        self.assertEqual(len(got), len(want))
        for i, (g, w) in enumerate(zip(got, want)):
            self.assertTrue(g == w, f"frame {i}: {sum(a != b for a, b in zip(g, w))} bytes differ")


FFMPEG_SOURCE = ["-f", "lavfi", "-i", f"testsrc2=size={W}x{H}:rate=25", "-frames:v", "4"]
# Positional, in descriptor order: the block's fifteen, then frame rate,
# scene name, clock. Quotes keep the comma from the graph parser, "\:" the
# colons from the option parser.
FFMPEG_PARAMS = ("y|y|y|Take 3, café|y|y|y|y|y|Ana Ruiz|y|Slate\\: take 3|y|y|y|25|"
                 "/shots/sh010.blend|2026-12-07T09\\:00\\:00")
FFMPEG_TEXTS = [("Comments", "Take 3, café"), ("Slate Author", "Ana Ruiz"),
                ("Slate Comments", "Slate: take 3")]
FFMPEG_SWITCHES = [("Display Filename", 1), ("Display Date", 1)]


@unittest.skipUnless(FFMPEG, "ffmpeg is not installed")
class TestFfmpeg(Common):
    def ffmpeg(self, vf, frames=4, env=None):
        args = [FFMPEG, "-hide_banner", "-loglevel", "error", *FFMPEG_SOURCE[:4],
                "-frames:v", str(frames)]
        args += (["-vf", vf] if vf else []) + ["-f", "rawvideo", "-pix_fmt", "rgba", "-"]
        return split(run(args, env).stdout, frames)

    def test_frames_are_the_librarys(self):
        base = self.ffmpeg(None)
        got = self.ffmpeg(f"frei0r=lumatrice:'{FFMPEG_PARAMS}'")
        self.assertFramesEqual(got, reference(base, FFMPEG_SWITCHES, FFMPEG_TEXTS,
                                              scene="/shots/sh010.blend"))
        slate = sum(got[0][i:i + 4] == SLATE_GREY for i in range(0, FRAME, 4))
        self.assertGreater(slate, W * H * 0.8)
        for i in 1, 2, 3:
            rows = changed_rows(got[i], base[i])
            self.assertLessEqual(rows, CAPTION_ROWS, f"frame {i} changed outside the captions")
            self.assertTrue(rows & set(range(22)) and rows & set(range(H - 20, H)))
        # The footer's frame number moves (ffmpeg's time is in milliseconds).
        foot = [f[(H - 20) * W * 4:] for f in got[1:]]
        self.assertEqual(len(set(foot)), 3)

    def test_installed_filter_is_found_without_frei0r_path(self):
        with tempfile.TemporaryDirectory() as home:
            run([LUMATRICE, "frei0r", "install"], {"HOME": home})
            env = {"HOME": home, "FREI0R_PATH": os.path.join(home, "nothing")}
            got = self.ffmpeg("frei0r=lumatrice", frames=1, env=env)
        self.assertFramesEqual(got, reference(self.ffmpeg(None, frames=1)))


@unittest.skipUnless(MELT, "melt is not installed")
class TestMelt(Common):
    def test_keyed_switch_on_two_threads(self):
        with tempfile.TemporaryDirectory() as tmp:
            profile = os.path.join(tmp, "profile")
            with open(profile, "w") as f:  # melt crashes on a profile without a description
                f.write(f"description=test\nwidth={W}\nheight={H}\nframe_rate_num=25\nframe_rate_den=1\n"
                        "progressive=1\nsample_aspect_num=1\nsample_aspect_den=1\n"
                        "display_aspect_num=4\ndisplay_aspect_den=3\ncolorspace=601\n")
            out = os.path.join(tmp, "out.rgba")
            # Footer off from frame 10 ("|=": held, not blended); names or
            # indices address parameters; real_time=-2: two render threads,
            # each with an instance of its own, and the slate on frame 0 only.
            run([MELT, "-silent", "-profile", profile, "color:#336699", "out=13",
                 "-filter", "frei0r.lumatrice", "1=0|=1;10|=0", "Comments=Take 3, café",
                 "-consumer", f"avformat:{out}", "f=rawvideo", "vcodec=rawvideo",
                 "pix_fmt=rgba", "an=1", "real_time=-2"])
            with open(out, "rb") as f:
                got = split(f.read(), 14)
        base = [bytes([0x33, 0x66, 0x99, 0xFF]) * (W * H)] * 14
        self.assertFramesEqual(got, reference(base, texts=[("Comments", "Take 3, café")],
                                              keys=[("Display Footer", [(0, 1), (10, 0)])]))
        footer = set(range(H - 20, H))
        self.assertTrue(all(changed_rows(got[i], base[i]) & footer for i in range(1, 10)))
        self.assertFalse(any(changed_rows(got[i], base[i]) & footer for i in range(10, 14)))

    def test_query_lists_every_parameter_with_its_explanation(self):
        text = run([MELT, "-query", "filter=frei0r.lumatrice"]).stdout.decode()
        self.assertEqual(text.count("  - identifier:"), 19)
        for name in ["Display Header", "Comments", "Display Slate Time & Date",
                     "Use Multithreading", "Frame Rate", "Scene Name", "Clock", "Render Start"]:
            self.assertIn(f"title: {name}\n", text)
        self.assertIn("description: Display Slate Time & Date\n", text)
        self.assertIn("creator: Lumatrice Project\n", text)
        self.assertIn("version: 1.1\n", text)


@unittest.skipUnless(GST, "GStreamer's gst-launch-1.0 is not installed")
class TestGstreamer(Common):
    def gst(self, element):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "out.rgba")
            run([GST, "-q", "videotestsrc", "num-buffers=3", "pattern=smpte", "!",
                 f"video/x-raw,width={W},height={H},framerate=25/1,format=RGBA", "!",
                 *element, "filesink", f"location={out}"],
                {"GST_REGISTRY": os.path.join(tmp, "registry.bin")})
            with open(out, "rb") as f:
                return split(f.read(), 3)

    def test_pipeline_frames_are_the_librarys(self):
        base = self.gst([])
        got = self.gst(["frei0r-filter-lumatrice", "comments=Take 3, café",
                        "scene-name=sh010.blend", "display-filename=true", "!"])
        self.assertFramesEqual(got, reference(base, [("Display Filename", 1)],
                                              [("Comments", "Take 3, café")],
                                              scene="sh010.blend"))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[7:])
