"""ctypes face of liblumatrice (host/embed/lumatrice.h): the session, the
effect's descriptor and dialog, parameters, host state and stamping files.
No bpy here, so it also runs under a plain Python."""
import ctypes
import os

TICKS_PER_SECOND = 4800
PARAM_BOOL, PARAM_TEXT = 4, 8
E_NOT_FOUND, E_UNSUPPORTED, E_STAMPED, E_VERSION = -2, -5, -6, -10
API_MAJOR, API_MINOR = 1, 3  # the lumatrice.h these bindings mirror

_c_char_p, _i32, _u32 = ctypes.c_char_p, ctypes.c_int32, ctypes.c_uint32


class ClassInfo(ctypes.Structure):
    _fields_ = [("name", _c_char_p), ("category", _c_char_p), ("class_id_a", _u32),
                ("class_id_b", _u32), ("module_path", _c_char_p), ("version", _c_char_p)]


class BlockInfo(ctypes.Structure):
    _fields_ = [("name", _c_char_p), ("dialog_id", _i32), ("title_id", _i32),
                ("param_count", _i32)]


class ParamInfo(ctypes.Structure):
    _fields_ = [("id", _i32), ("name", _c_char_p), ("type", _i32), ("animatable", _i32),
                ("default_bool", _i32), ("default_text", _c_char_p), ("local_name_id", _i32),
                ("control_type", _i32), ("control_id", _i32)]


class DialogInfo(ctypes.Structure):
    _fields_ = [("x", _i32), ("y", _i32), ("cx", _i32), ("cy", _i32), ("style", _u32),
                ("font", _c_char_p), ("point_size", _i32), ("control_count", _i32)]


class ControlInfo(ctypes.Structure):
    _fields_ = [("window_class", _c_char_p), ("id", _i32), ("text", _c_char_p), ("x", _i32),
                ("y", _i32), ("cx", _i32), ("cy", _i32), ("style", _u32), ("ex_style", _u32)]


class LumatriceError(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code


def _s(b):
    return b.decode("utf-8", "replace") if b is not None else ""


def _b(s):
    return s.encode("utf-8")


def library_candidates(package_dir, chosen=""):
    """Where the library may be: $LUMATRICE_LIBRARY, else the file chosen in
    the add-on's preferences, else the zip's lib/ folder, then build/lib of
    the source tree the add-on lives in."""
    given = os.environ.get("LUMATRICE_LIBRARY") or chosen
    if given:
        return [given]
    found = [os.path.join(package_dir, "lib", "liblumatrice.so")]
    root = os.path.dirname(os.path.dirname(os.path.dirname(package_dir)))
    found.append(os.path.join(root, "build", "lib", "liblumatrice.so"))
    return found


_P = ctypes.c_void_p
_SIGNATURES = {
    "lumatrice_api_version": (_u32, []),
    "lumatrice_last_error": (_c_char_p, []),
    "lumatrice_open": (_i32, [_P, _i32, ctypes.POINTER(_P)]),
    "lumatrice_close": (None, [_P]),
    "lumatrice_refused_count": (_i32, [_P, ctypes.POINTER(_i32)]),
    "lumatrice_refused": (_i32, [_P, _i32, ctypes.POINTER(_c_char_p), ctypes.POINTER(_c_char_p)]),
    "lumatrice_next_notice": (_i32, [_P, ctypes.POINTER(_c_char_p)]),
    "lumatrice_class_count": (_i32, [_P, ctypes.POINTER(_i32)]),
    "lumatrice_class": (_i32, [_P, _i32, ctypes.POINTER(ClassInfo)]),
    "lumatrice_create_effect": (_i32, [_P, _c_char_p, ctypes.POINTER(_P)]),
    "lumatrice_delete_effect": (None, [_P]),
    "lumatrice_block": (_i32, [_P, ctypes.POINTER(BlockInfo)]),
    "lumatrice_param": (_i32, [_P, _i32, ctypes.POINTER(ParamInfo)]),
    "lumatrice_dialog": (_i32, [_P, _i32, ctypes.POINTER(DialogInfo)]),
    "lumatrice_dialog_control": (_i32, [_P, _i32, _i32, ctypes.POINTER(ControlInfo)]),
    "lumatrice_string": (_i32, [_P, _i32, ctypes.POINTER(_c_char_p)]),
    "lumatrice_set_bool": (_i32, [_P, _c_char_p, _i32]),
    "lumatrice_get_bool": (_i32, [_P, _c_char_p, _i32, ctypes.POINTER(_i32)]),
    "lumatrice_set_text": (_i32, [_P, _c_char_p, _c_char_p]),
    "lumatrice_get_text": (_i32, [_P, _c_char_p, ctypes.POINTER(_c_char_p)]),
    "lumatrice_pin_clock": (_i32, [_P, _c_char_p]),
    "lumatrice_set_scene_path": (_i32, [_P, _c_char_p]),
    "lumatrice_set_frame_rate": (_i32, [_P, _i32]),
    "lumatrice_render_begin": (_i32, [_P, _i32]),
    "lumatrice_render_end": (_i32, [_P, _i32]),
    "lumatrice_pre_render": (_i32, [_P]),
    "lumatrice_stamp_file": (_i32, [_P, _c_char_p, _i32]),
    "lumatrice_stamp_file_as": (_i32, [_P, _c_char_p, _i32, _c_char_p]),
    "lumatrice_set_caption_space": (_i32, [_P, _i32, _c_char_p, _c_char_p, _c_char_p]),
}


# The structs declared here, by the kind lumatrice_struct_size takes.
_STRUCTS = {1: ClassInfo, 2: BlockInfo, 3: ParamInfo, 4: DialogInfo, 5: ControlInfo}


def _check_version(dll, path):
    """E_VERSION unless the library serves the API these bindings mirror."""
    dll.lumatrice_api_version.restype = _u32
    have = dll.lumatrice_api_version()
    if have >> 16 != API_MAJOR or not hasattr(dll, "lumatrice_require_version"):
        why = ("API major version mismatch" if have >> 16 != API_MAJOR else "library too old")
        raise LumatriceError(E_VERSION, "%s: %s: the library is API %d.%d, this add-on needs %d.%d"
                             " or a later %d.x" % (path, why, have >> 16, have & 0xFFFF,
                                                   API_MAJOR, API_MINOR, API_MAJOR))
    dll.lumatrice_require_version.argtypes = [_u32, _u32]
    dll.lumatrice_last_error.restype = _c_char_p
    if dll.lumatrice_require_version(API_MAJOR, API_MINOR) != 0:
        raise LumatriceError(E_VERSION, "%s: %s" % (path, _s(dll.lumatrice_last_error())))
    dll.lumatrice_struct_size.restype, dll.lumatrice_struct_size.argtypes = _u32, [_i32]
    for kind, struct in _STRUCTS.items():
        size = dll.lumatrice_struct_size(kind)
        if size != ctypes.sizeof(struct):
            raise LumatriceError(E_VERSION, "%s: struct %s is %d bytes in the library, %d here"
                                 % (path, struct.__name__, size, ctypes.sizeof(struct)))


class Library:
    """The loaded liblumatrice; every call raises LumatriceError on failure."""

    def __init__(self, path):
        self.path = path
        try:
            self._dll = ctypes.CDLL(path)
        except OSError as e:
            raise LumatriceError(E_NOT_FOUND, "cannot load %s: %s" % (path, e)) from None
        _check_version(self._dll, path)
        for name, (res, args) in _SIGNATURES.items():
            f = getattr(self._dll, name)
            f.restype, f.argtypes = res, args

    def call(self, name, *args):
        rc = getattr(self._dll, name)(*args)
        if rc != 0:
            raise LumatriceError(rc, _s(self._dll.lumatrice_last_error()))

    def void(self, name, *args):
        getattr(self._dll, name)(*args)


def load(package_dir, chosen=""):
    """The first candidate library that loads; the error names every one
    tried, and is E_VERSION when one was found but of another API version."""
    reasons, code = [], E_NOT_FOUND
    for path in library_candidates(package_dir, chosen):
        if not os.path.exists(path):
            reasons.append("%s: not found" % path)
            continue
        try:
            return Library(path)
        except LumatriceError as e:
            reasons.append(str(e))
            code = E_VERSION if e.code == E_VERSION else code
    what = "of another API version" if code == E_VERSION else "not found"
    raise LumatriceError(code, "liblumatrice %s (%s)" % (what, "; ".join(reasons)))


class Session:
    def __init__(self, lib):
        self.lib = lib
        h = _P()
        lib.call("lumatrice_open", None, 0, ctypes.byref(h))
        self.handle = h

    def close(self):
        if self.handle:
            self.lib.void("lumatrice_close", self.handle)
            self.handle = None

    def refused(self):
        n = _i32()
        self.lib.call("lumatrice_refused_count", self.handle, ctypes.byref(n))
        out = []
        for i in range(n.value):
            p, r = _c_char_p(), _c_char_p()
            self.lib.call("lumatrice_refused", self.handle, i, ctypes.byref(p), ctypes.byref(r))
            out.append((_s(p.value), _s(r.value)))
        return out

    def notices(self):
        out, t = [], _c_char_p()
        while self.lib._dll.lumatrice_next_notice(self.handle, ctypes.byref(t)) == 0:
            out.append(_s(t.value))
        return out

    def create_effect(self, class_name):
        h = _P()
        try:
            self.lib.call("lumatrice_create_effect", self.handle, _b(class_name), ctypes.byref(h))
        except LumatriceError as e:
            why = "; ".join("%s: %s" % r for r in self.refused())
            raise LumatriceError(e.code, str(e) + (" (refused: %s)" % why if why else "")) from None
        return Effect(self.lib, h)

    def pin_clock(self, iso):
        self.lib.call("lumatrice_pin_clock", self.handle, _b(iso or ""))

    def set_scene_path(self, path):
        self.lib.call("lumatrice_set_scene_path", self.handle, _b(path))

    def set_frame_rate(self, fps):
        self.lib.call("lumatrice_set_frame_rate", self.handle, fps)

    def render_begin(self, t):
        self.lib.call("lumatrice_render_begin", self.handle, t)

    def render_end(self, t):
        self.lib.call("lumatrice_render_end", self.handle, t)

    def pre_render(self):
        self.lib.call("lumatrice_pre_render", self.handle)

    def set_caption_space(self, display_space, config="", display="", view=""):
        """With `display_space`, float frames take captions in the display's
        colours through `view` of `config`; else the effect's values."""
        self.lib.call("lumatrice_set_caption_space", self.handle, 1 if display_space else 0,
                      _b(config), _b(display), _b(view))

    def stamp_file(self, path, t, fmt=None):
        """`fmt` ("exr") names the format of a file whose name has no extension."""
        self.lib.call("lumatrice_stamp_file_as", self.handle, _b(path), t,
                      _b(fmt) if fmt else None)


class Effect:
    def __init__(self, lib, handle):
        self.lib, self.handle = lib, handle

    def delete(self):
        if self.handle:
            self.lib.void("lumatrice_delete_effect", self.handle)
            self.handle = None

    def block(self):
        b = BlockInfo()
        self.lib.call("lumatrice_block", self.handle, ctypes.byref(b))
        return {"name": _s(b.name), "dialog_id": b.dialog_id, "title_id": b.title_id,
                "param_count": b.param_count}

    def params(self):
        out = []
        for i in range(self.block()["param_count"]):
            p = ParamInfo()
            self.lib.call("lumatrice_param", self.handle, i, ctypes.byref(p))
            out.append({"id": p.id, "name": _s(p.name), "type": p.type,
                        "animatable": bool(p.animatable), "default_bool": bool(p.default_bool),
                        "default_text": _s(p.default_text), "local_name_id": p.local_name_id,
                        "control_id": p.control_id})
        return out

    def dialog_controls(self, dialog_id):
        d = DialogInfo()
        self.lib.call("lumatrice_dialog", self.handle, dialog_id, ctypes.byref(d))
        out = []
        for i in range(d.control_count):
            c = ControlInfo()
            self.lib.call("lumatrice_dialog_control", self.handle, dialog_id, i, ctypes.byref(c))
            out.append({"class": _s(c.window_class), "id": c.id, "text": _s(c.text),
                        "x": c.x, "y": c.y, "cx": c.cx, "cy": c.cy, "style": c.style})
        return out

    def string(self, sid):
        t = _c_char_p()
        try:
            self.lib.call("lumatrice_string", self.handle, sid, ctypes.byref(t))
        except LumatriceError:
            return None
        return _s(t.value)

    def set_bool(self, name, value):
        self.lib.call("lumatrice_set_bool", self.handle, _b(name), 1 if value else 0)

    def set_text(self, name, text):
        self.lib.call("lumatrice_set_text", self.handle, _b(name), _b(text))
