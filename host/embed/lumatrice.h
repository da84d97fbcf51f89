/* liblumatrice: the Lumatrice host as a C library, for hosts we did not write
 * (a 3D renderer's add-on through ctypes, a farm tool). It loads the plug-in
 * modules, keeps effects with their parameter blocks, sets the host state the
 * effects read (clock, scene path, frame rate), and applies the effects to
 * frames in memory or to image files in place.
 *
 * ABI: plain C. Only fixed-width integers, pointers, opaque handles and the
 * structs below cross it; no C++ type and no exception ever does. Structs are
 * never changed once published: a later version adds functions and structs.
 * A binding that mirrors the structs checks its sizes against
 * lumatrice_struct_size, and its version with lumatrice_require_version.
 *
 * HANDLES
 *  Session and effect handles are opaque values, not addresses, and are never
 *  given out twice in a process: a handle of a deleted effect or a closed
 *  session fails every call with LUMATRICE_E_STATE (the destroying calls
 *  ignore it), even when a new object has taken its place.
 *
 * THREADS
 *  Each function states its rule, one of:
 *  - "Threads: any, never waits": any thread, any time, also while another
 *    thread is inside the library.
 *  - "Threads: any, serialised": any thread; calls on the session and its
 *    effects run one at a time inside the library, the others wait. Effects
 *    may be used from several threads this way, never at once.
 *  - "Threads: any, side by side": lumatrice_apply_effect; calls for
 *    different effects run at the same time, serialised calls wait for them.
 *  At most one session is open in a process at a time (the host state the
 *  modules read is process-wide); a second lumatrice_open fails with
 *  LUMATRICE_E_STATE. The library calls nothing back: notices from effects
 *  are queued and read with lumatrice_next_notice. The last error is kept
 *  per thread: read it on the thread that made the failing call, before
 *  that thread's next call. A text handed out with a session or effect as
 *  its owner may be replaced by the same call from another thread: a host
 *  that calls from several threads copies it before its next call.
 *
 * OWNERSHIP
 *  - lumatrice_open creates the session; lumatrice_close deletes it together
 *    with every effect still alive. A session still open when the process
 *    exits is closed then; the modules stay loaded until the process ends.
 *  - Effects belong to their session; lumatrice_delete_effect ends one early.
 *  - Every `const char*` the library hands out is UTF-8, owned by the library
 *    and valid for as long as its stated owner lives (the effect, the session,
 *    or until the thread's next call for error texts). Never free it.
 *  - Buffers and strings the caller passes in stay the caller's; the library
 *    keeps no pointer to them after the call returns.
 *
 * ERRORS
 *  Every function returns LUMATRICE_OK (0) or a negative LUMATRICE_E_* code,
 *  unless stated otherwise. On failure lumatrice_last_error() gives a message
 *  that starts with the function's name, e.g.
 *  "lumatrice_stamp_file: /shots/f.0001.png: no such file". A success clears
 *  the thread's last error. Nothing is ever thrown or aborted across the ABI.
 *
 * TEXT
 *  Effects keep texts in Windows-1252. Texts going in are UTF-8 and are
 *  converted; texts coming out are converted to UTF-8.
 *
 * TIME
 *  Times are the host's ticks: 4800 a second, so frame f at r frames a second
 *  is at f * (4800 / r). The frame rate must divide 4800.
 *
 * VERSION HISTORY
 *  1.0  first version. Clarified since the first draft of this header (no
 *       declaration changed): lumatrice_stamp_file leaves a frame on which
 *       nothing is drawn untouched; lumatrice_set_bool_keys with no keys
 *       leaves the unkeyed value.
 *  1.1  lumatrice_pre_render_effect and lumatrice_apply_effect: one effect of
 *       the list told and applied alone, several effects on several threads.
 *  1.2  added lumatrice_stamp_file_as, lumatrice_struct_size,
 *       lumatrice_require_version and LUMATRICE_E_VERSION; a thread rule on every call. Behaviour, with no
 *       declaration or struct changed: handles are looked up, so a stale one
 *       gives LUMATRICE_E_STATE where 1.1 used freed memory; lumatrice_apply
 *       and lumatrice_apply_effect refuse a row stride whose rows would pass
 *       the end of the address space (LUMATRICE_E_ARGUMENT); lumatrice_close
 *       keeps the modules loaded for a next session of the same folders.
 *  1.3  lumatrice_set_caption_space; LUMATRICE_E_BUSY: lumatrice_stamp_file
 *       takes the output lock of the file's frame and leaves a file another
 *       run or stamp is writing to it.
 */
#ifndef LUMATRICE_H
#define LUMATRICE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LUMATRICE_API_VERSION_MAJOR 1
#define LUMATRICE_API_VERSION_MINOR 3
#define LUMATRICE_TICKS_PER_SECOND 4800

/* ---- errors ------------------------------------------------------------ */

enum {
  LUMATRICE_OK = 0,
  LUMATRICE_E_ARGUMENT = -1,    /* a null handle or pointer, a bad value */
  LUMATRICE_E_NOT_FOUND = -2,   /* no such class, parameter, dialog, string, file */
  LUMATRICE_E_STATE = -3,       /* a session is open already; a stale handle */
  LUMATRICE_E_IO = -4,          /* an image cannot be read or written */
  LUMATRICE_E_UNSUPPORTED = -5, /* a frame layout or file the library will not touch */
  LUMATRICE_E_STAMPED = -6,     /* the file carries the stamp marker already */
  LUMATRICE_E_PLUGIN = -7,      /* a module failed or threw inside a call */
  LUMATRICE_E_MEMORY = -8,
  LUMATRICE_E_INTERNAL = -9,
  LUMATRICE_E_VERSION = -10,    /* the library does not serve the API version asked for (1.3) */
  LUMATRICE_E_BUSY = -11        /* another run or stamp is writing the file (1.3) */
};

/* (major << 16) | minor of the library actually loaded; compare the major
 * with LUMATRICE_API_VERSION_MAJOR. Threads: any, never waits. */
uint32_t lumatrice_api_version(void);

/* LUMATRICE_OK when this library serves API `major`.`minor` (the same major
 * and a minor no later than its own), else LUMATRICE_E_VERSION with a last
 * error naming both versions. Pass the LUMATRICE_API_VERSION_* of the header
 * the caller was written against. Since 1.2; an older library lacks the
 * symbol, which means it is too old for a 1.2 caller. Threads: any, never waits. */
int32_t lumatrice_require_version(uint32_t major, uint32_t minor);

enum {
  LUMATRICE_STRUCT_CLASS_INFO = 1,
  LUMATRICE_STRUCT_BLOCK_INFO = 2,
  LUMATRICE_STRUCT_PARAM_INFO = 3,
  LUMATRICE_STRUCT_DIALOG_INFO = 4,
  LUMATRICE_STRUCT_CONTROL_INFO = 5,
  LUMATRICE_STRUCT_KEY = 6,
  LUMATRICE_STRUCT_FRAME = 7
};
/* sizeof the struct LUMATRICE_STRUCT_* names, as this library reads or fills
 * it; 0 for a kind it does not know. A binding that declares the structs
 * itself (ctypes, cffi) compares them at load, so a layout that drifted is
 * found before a call writes past the caller's struct. Since 1.2.
 * Threads: any, never waits. */
uint32_t lumatrice_struct_size(int32_t which);

/* The calling thread's last failure: its code (LUMATRICE_OK when the last
 * call succeeded) and message ("" then). The text is valid until this
 * thread's next call into the library. Never fails. Threads: any, never
 * waits; each thread reads its own. */
int32_t lumatrice_last_error_code(void);
const char* lumatrice_last_error(void);

/* ---- session ----------------------------------------------------------- */

typedef struct lumatrice_session lumatrice_session;
typedef struct lumatrice_effect lumatrice_effect;

/* Loads the plug-in modules (*.dlv) of, in this order: the folder holding
 * liblumatrice.so itself, its sibling "../bin" when there is one (the build
 * tree's layout), the `count` folders given (may be 0 with folders null),
 * and the colon-separated LUMATRICE_PLUGIN_PATH. Starts with the clock
 * unpinned, no scene path, 30 frames a second, frame-number time display.
 * Modules that fail to load are listed by lumatrice_refused, not an error.
 * The modules stay loaded from one session to the next while the folder
 * list is the same (a module's static objects are made once); a session of
 * other folders unloads them and loads its own. Threads: any, serialised. */
int32_t lumatrice_open(const char* const* folders, int32_t count, lumatrice_session** out);
/* Deletes the session's effects and resets the host state; the modules
 * stay loaded for the next session (see lumatrice_open) until the process
 * ends. Null is ignored. Threads: any, serialised: calls waiting on other
 * threads with the session's handles then fail with LUMATRICE_E_STATE. */
void lumatrice_close(lumatrice_session* session);

/* The folders searched, in order; valid while the session is open. Threads: any, serialised. */
int32_t lumatrice_folder_count(lumatrice_session* session, int32_t* count);
int32_t lumatrice_folder(lumatrice_session* session, int32_t index, const char** path);

/* Module files that were refused, with the reason; valid while open. Threads: any, serialised. */
int32_t lumatrice_refused_count(lumatrice_session* session, int32_t* count);
int32_t lumatrice_refused(lumatrice_session* session, int32_t index, const char** path,
                          const char** reason);

/* The next queued notice (an effect's message box, as "CAPTION: TEXT"):
 * LUMATRICE_OK with *text set, or LUMATRICE_E_NOT_FOUND when none is queued.
 * The text is valid until the next call of this function. Threads: any, serialised. */
int32_t lumatrice_next_notice(lumatrice_session* session, const char** text);

/* ---- classes ----------------------------------------------------------- */

/* A render-effect class one of the loaded modules offers. */
typedef struct lumatrice_class_info {
  const char* name;        /* ClassName(), e.g. "Lumatrice" */
  const char* category;
  uint32_t class_id_a, class_id_b;
  const char* module_path; /* the .dlv file */
  const char* version;     /* the module's file version, "" when unknown */
} lumatrice_class_info;

/* Render-effect classes in load order; valid while the session is open.
 * Threads: any, serialised. */
int32_t lumatrice_class_count(lumatrice_session* session, int32_t* count);
int32_t lumatrice_class(lumatrice_session* session, int32_t index, lumatrice_class_info* out);

/* ---- effects ----------------------------------------------------------- */

/* Creates an effect of the class named `class_name` (case-sensitive) with
 * its defaults and adds it at the end of the session's effect list, the
 * order in which lumatrice_apply and lumatrice_stamp_file run them. Threads: any, serialised. */
int32_t lumatrice_create_effect(lumatrice_session* session, const char* class_name,
                                lumatrice_effect** out);
/* Deletes the effect and takes it off the list. Null is ignored.
 * Threads: any, serialised: calls waiting
 * on other threads with the handle then fail with LUMATRICE_E_STATE. */
void lumatrice_delete_effect(lumatrice_effect* effect);

/* ---- the parameter block's descriptor ---------------------------------- */

enum { LUMATRICE_PARAM_BOOL = 4, LUMATRICE_PARAM_TEXT = 8 };
enum { LUMATRICE_CONTROL_NONE = -1, LUMATRICE_CONTROL_CHECKBOX = 2, LUMATRICE_CONTROL_EDITBOX = 5 };

typedef struct lumatrice_block_info {
  const char* name;      /* the block's internal name */
  int32_t dialog_id;     /* its rollup's dialog template (101); 0 without one */
  int32_t title_id;      /* string ID of the rollup's title */
  int32_t param_count;
} lumatrice_block_info;

typedef struct lumatrice_param_info {
  int32_t id;            /* the parameter ID */
  const char* name;      /* internal name, e.g. "Display Footer"; keys the setters */
  int32_t type;          /* LUMATRICE_PARAM_* */
  int32_t animatable;    /* 1: a switch that may carry keys */
  int32_t default_bool;  /* 0 or 1 for a switch */
  const char* default_text; /* "" for a switch */
  int32_t local_name_id; /* string ID of the display name */
  int32_t control_type;  /* LUMATRICE_CONTROL_* */
  int32_t control_id;    /* the dialog control bound to it; -1 without one */
} lumatrice_param_info;

/* The effect's first parameter block (block ID 0) and its parameters in
 * descriptor order; the texts are valid while the effect lives. Threads: any, serialised. */
int32_t lumatrice_block(lumatrice_effect* effect, lumatrice_block_info* out);
int32_t lumatrice_param(lumatrice_effect* effect, int32_t index, lumatrice_param_info* out);

/* ---- the module's resources -------------------------------------------- */

typedef struct lumatrice_dialog_info {
  int32_t x, y, cx, cy;  /* dialog units */
  uint32_t style;
  const char* font;      /* "" without DS_SETFONT */
  int32_t point_size;
  int32_t control_count;
} lumatrice_dialog_info;

typedef struct lumatrice_control_info {
  const char* window_class; /* "Button", "Edit", "Static", "ListBox",
                               "ScrollBar", "ComboBox" for the predefined
                               classes, else the template's name ("CustEdit") */
  int32_t id;            /* control ID; -1 for 0xFFFF (nothing addresses it) */
  const char* text;      /* as stored: "&&" still stands for one '&' */
  int32_t x, y, cx, cy;  /* dialog units */
  uint32_t style;        /* the low 16 bits carry the class's own style,
                            e.g. BS_GROUPBOX 7, BS_AUTOCHECKBOX 3, SS_CENTER 1 */
  uint32_t ex_style;
} lumatrice_control_info;

/* Dialog template `dialog_id` of the module that holds the effect's class,
 * and its controls in template order; texts valid while the effect lives.
 * Threads: any, serialised. */
int32_t lumatrice_dialog(lumatrice_effect* effect, int32_t dialog_id, lumatrice_dialog_info* out);
int32_t lumatrice_dialog_control(lumatrice_effect* effect, int32_t dialog_id, int32_t index,
                                 lumatrice_control_info* out);

/* The module's string table: string `id` (LUMATRICE_E_NOT_FOUND when it is
 * missing), or every string in ID order by index. Threads: any, serialised. */
int32_t lumatrice_string(lumatrice_effect* effect, int32_t id, const char** text);
int32_t lumatrice_string_count(lumatrice_effect* effect, int32_t* count);
int32_t lumatrice_string_at(lumatrice_effect* effect, int32_t index, int32_t* id,
                            const char** text);

/* ---- parameters -------------------------------------------------------- */

typedef struct lumatrice_key {
  int32_t time;   /* ticks */
  int32_t value;  /* 0 or non-zero */
} lumatrice_key;

/* A switch's one value; drops its keys. Threads: any, serialised. */
int32_t lumatrice_set_bool(lumatrice_effect* effect, const char* name, int32_t value);
/* Replaces an animatable switch's keys (count 0 drops them: the switch then
 * holds its unkeyed value again). Keys need not be sorted; of two at one time the later wins.
 * Between keys the value holds from one key to the next (constant). Threads: any, serialised. */
int32_t lumatrice_set_bool_keys(lumatrice_effect* effect, const char* name,
                                const lumatrice_key* keys, int32_t count);
/* A switch's value at `time`, its keys taken into account. Threads: any, serialised. */
int32_t lumatrice_get_bool(lumatrice_effect* effect, const char* name, int32_t time,
                           int32_t* value);
/* A text parameter; LUMATRICE_E_ARGUMENT for invalid UTF-8 or a character
 * Windows-1252 lacks (the message names it). Threads: any, serialised. */
int32_t lumatrice_set_text(lumatrice_effect* effect, const char* name, const char* utf8);
/* Valid until the text is next set or the effect is deleted. Threads: any, serialised. */
int32_t lumatrice_get_text(lumatrice_effect* effect, const char* name, const char** utf8);

/* ---- host state the effects read --------------------------------------- */

/* Holds the clock the effects read at an ISO-8601 local time
 * ("2026-12-07T09:00:00", "2026-12-07 09:00", "2026-12-07", optional zone),
 * or, with null or "", at the present moment, so that a whole render shows
 * one date. Threads: any, serialised. */
int32_t lumatrice_pin_clock(lumatrice_session* session, const char* iso_time);
/* Lets the clock run with the system's again. Threads: any, serialised. */
int32_t lumatrice_unpin_clock(lumatrice_session* session);
/* The time the effects read now, as "2026-12-07T09:00:00"; valid until the
 * next call of this function. Threads: any, serialised. */
int32_t lumatrice_read_clock(lumatrice_session* session, const char** iso_time);

/* The scene file's full path (UTF-8; "" for an unsaved scene). The effects
 * draw its last component as the scene name and the whole path on the
 * slate, in Windows-1252: characters it lacks become '?'. Threads: any, serialised. */
int32_t lumatrice_set_scene_path(lumatrice_session* session, const char* utf8_path);
/* Frames a second; must divide 4800 (24, 25, 30, 48, 50, 60, ...), else
 * LUMATRICE_E_ARGUMENT and the old rate stays. Threads: any, serialised. */
int32_t lumatrice_set_frame_rate(lumatrice_session* session, int32_t fps);

enum {
  LUMATRICE_TIME_FRAMES = 0,      /* "15" */
  LUMATRICE_TIME_SMPTE = 1,       /* "00:00:15" */
  LUMATRICE_TIME_FRAME_TICKS = 2, /* "15:0" */
  LUMATRICE_TIME_MMSS_TICKS = 3   /* "00:02:0160" */
};
/* How the footer writes a frame's time; default LUMATRICE_TIME_FRAMES. Threads: any, serialised. */
int32_t lumatrice_set_time_display(lumatrice_session* session, int32_t mode);

/* ---- a render ---------------------------------------------------------- */

/* Brackets a render: RenderBegin/RenderEnd on every effect of the list.
 * Optional for single frames; a host that renders sequences calls them once
 * around the whole render. Threads: any, serialised. */
int32_t lumatrice_render_begin(lumatrice_session* session, int32_t time);
int32_t lumatrice_render_end(lumatrice_session* session, int32_t time);

/* Sends the pre-render notification to the effects. Send it just before
 * the render's first frame is applied, and only in the run that holds that
 * frame: the frame applied next then carries the opening slate. Threads: any, serialised. */
int32_t lumatrice_pre_render(lumatrice_session* session);

enum {
  LUMATRICE_SAMPLE_U8 = 1,
  LUMATRICE_SAMPLE_U16 = 2,
  LUMATRICE_SAMPLE_HALF = 3,  /* IEEE 754 binary16 */
  LUMATRICE_SAMPLE_FLOAT = 4
};

/* A frame in the caller's memory: rows top first, `row_stride` bytes from
 * one row's start to the next (at least width * channels * sample size;
 * the bytes past a row's pixels are never touched). Channels 4 (RGBA,
 * straight alpha) or 3 (RGB). Native byte order. */
typedef struct lumatrice_frame {
  void* pixels;
  int32_t width, height;
  int64_t row_stride;
  int32_t channels;
  int32_t sample;  /* LUMATRICE_SAMPLE_* */
} lumatrice_frame;

/* Applies every effect of the list, in order, to the frame at `time`. Only
 * the pixels an effect changes are written; every other sample keeps its
 * bits (values above 1.0 and NaNs included). The effects see 16-bit
 * colour: half and float samples they change are written as value/65535.
 * Threads: any, serialised. */
int32_t lumatrice_apply(lumatrice_session* session, int32_t time, lumatrice_frame* frame);

/* Stamps the image file `path` in place: reads it (the format from its
 * contents), applies every effect at `time`, adds the stamp marker and
 * writes it to a hidden temporary file beside it in the format its
 * extension names, keeping channels, sample type and metadata (PNG text
 * chunks, EXR attributes), then renames that over `path`. EXR and TIFF
 * frames (and uncompressed DPX) keep their unchanged blocks as stored and
 * encode only those the captions touch, as `lumatrice stamp` does; the
 * result is the file that command writes. On any failure
 * `path` is left exactly as it was and no temporary file remains.
 * A multilayer EXR gets its combined RGBA pass stamped and keeps every
 * other channel untouched; a multi-part file, or a layered one without a
 * combined pass, is left as it is with LUMATRICE_E_UNSUPPORTED. A file that
 * carries the stamp marker already is refused with LUMATRICE_E_STAMPED, so
 * a frame is never stamped twice. The stamp holds the output lock of the
 * file's frame (".f_#.exr.lumatrice-lock" beside "f_0001.exr", the lock a
 * `lumatrice` run writing that sequence takes); while another run or stamp
 * holds it the file is left to it with LUMATRICE_E_BUSY. When the effects are to draw nothing on
 * the frame (every caption off, and no slate due after
 * lumatrice_pre_render), the file is left as it is, without the marker. Threads: any, serialised. */
int32_t lumatrice_stamp_file(lumatrice_session* session, const char* path, int32_t time);

/* As lumatrice_stamp_file, with the format named by `format`, a file name
 * extension such as "exr" or "png", in place of the one `path` ends in (a
 * host writing "f_0001"). Null or "" takes the name's, as
 * lumatrice_stamp_file does. A format no writer has fails with
 * LUMATRICE_E_UNSUPPORTED and leaves the file alone. Threads: any,
 * serialised. Since 1.2. */
int32_t lumatrice_stamp_file_as(lumatrice_session* session, const char* path, int32_t time,
                                const char* format);

enum {
  LUMATRICE_CAPTIONS_SCENE = 0,   /* the effects' values as they are (the default) */
  LUMATRICE_CAPTIONS_DISPLAY = 1  /* the values a view turns into the effects' colours */
};

/* How stamped files and frames given to lumatrice_apply take the captions
 * (lumatrice_apply_effect's keep the effects' values). With
 * LUMATRICE_CAPTIONS_DISPLAY, float frames stay scene-linear (the config's scene_linear role) and only
 * the pixels the effects draw change: to the linear values that `view` on
 * `display` of the OpenColorIO config `config` turns into the colours the
 * effects drew; integer frames are display-referred and stamped as they are.
 * Null or "" takes $OCIO, else the config shipped with the library, and the
 * config's default display and that display's default view.
 * LUMATRICE_E_NOT_FOUND for a display or view the config lacks,
 * LUMATRICE_E_IO for a config that cannot be read; the setting is then as
 * it was. Threads: any, serialised. Since 1.3. */
int32_t lumatrice_set_caption_space(lumatrice_session* session, int32_t space,
                                    const char* config, const char* display, const char* view);

/* ---- one effect of the list (1.1) -------------------------------------- */

/* The pre-render notification to `effect` alone: the next frame it is
 * applied to carries its opening slate; the session's other effects are not
 * told. For hosts that keep one effect per filter and start each filter's
 * render on its own. Threads: any, serialised. */
int32_t lumatrice_pre_render_effect(lumatrice_effect* effect);

/* Applies `effect` alone to the frame at `time`, as lumatrice_apply applies
 * the list (the same checks, only changed pixels written). Calls for
 * different effects run at the same time on different threads; calls for
 * one effect take turns, and every other call waits until none is running.
 * The host state (clock, scene path, frame rate) is the session's: a host
 * that wants another for one effect sets it between applies.
 * Threads: any, side by side. */
int32_t lumatrice_apply_effect(lumatrice_effect* effect, int32_t time, lumatrice_frame* frame);

#ifdef __cplusplus
}
#endif

#endif /* LUMATRICE_H */
