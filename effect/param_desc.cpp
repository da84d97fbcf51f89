// The descriptor's tagged list: header, then one entry per parameter in ID
// order, closed by a second `end`. Built third at load, after the class
// descriptor it attaches to and the class ID (init priorities 101..103).
#include "param_desc.h"

#include "class_desc.h"
#include "resource_ids.h"

// clang-format off
ParamBlockDesc2 lumatrice_param_blk __attribute__((init_priority(103)))(
    kLumatriceBlockID, "Lumatrice Parameters", 0, &LumatriceClassDesc,
    P_AUTO_CONSTRUCT + P_AUTO_UI,
    /* reference */ 0,
    /* rollup */ IDD_LUMATRICE_PANEL, IDS_PARAMS_TITLE, 0, 0, nullptr,

    // ---- every-frame captions -------------------------------------------
    pb_display_header, "Display Header", TYPE_BOOL, P_ANIMATABLE, IDS_DISPLAY_HEADER,
        p_default, 1,
        p_ui, TYPE_SINGLECHEKBOX, IDC_DISPLAY_HEADER,
        end,
    pb_display_footer, "Display Footer", TYPE_BOOL, P_ANIMATABLE, IDS_DISPLAY_FOOTER,
        p_default, 1,
        p_ui, TYPE_SINGLECHEKBOX, IDC_DISPLAY_FOOTER,
        end,
    pb_display_comments, "Display Comments", TYPE_BOOL, P_ANIMATABLE, IDS_DISPLAY_COMMENTS,
        p_default, 1,
        p_ui, TYPE_SINGLECHEKBOX, IDC_DISPLAY_COMMENTS,
        end,
    pb_comments, "Comments", TYPE_STRING, 0, IDS_COMMENTS,
        p_default, "",
        p_ui, TYPE_EDITBOX, IDC_COMMENTS,
        end,
    pb_display_frames, "Display Frames", TYPE_BOOL, P_ANIMATABLE, IDS_DISPLAY_FRAMES,
        p_default, 1,
        p_ui, TYPE_SINGLECHEKBOX, IDC_DISPLAY_FRAMES,
        end,
    pb_display_filename, "Display Filename", TYPE_BOOL, P_ANIMATABLE, IDS_DISPLAY_FILENAME,
        p_default, 0,
        p_ui, TYPE_SINGLECHEKBOX, IDC_DISPLAY_FILENAME,
        end,
    pb_display_date, "Display Date", TYPE_BOOL, P_ANIMATABLE, IDS_DISPLAY_DATE,
        p_default, 0,
        p_ui, TYPE_SINGLECHEKBOX, IDC_DISPLAY_DATE,
        end,

    // ---- opening slate --------------------------------------------------
    pb_display_slate, "Display Slate", TYPE_BOOL, P_ANIMATABLE, IDS_DISPLAY_SLATE,
        p_default, 1,
        p_ui, TYPE_SINGLECHEKBOX, IDC_DISPLAY_SLATE,
        end,
    pb_display_slate_author, "Display Slate Author", TYPE_BOOL, P_ANIMATABLE,
        IDS_DISPLAY_SLATE_AUTHOR,
        p_default, 1,
        p_ui, TYPE_SINGLECHEKBOX, IDC_DISPLAY_SLATE_AUTHOR,
        end,
    pb_slate_author, "Slate Author", TYPE_STRING, 0, IDS_SLATE_AUTHOR,
        p_default, "",
        p_ui, TYPE_EDITBOX, IDC_SLATE_AUTHOR,
        end,
    pb_display_slate_comments, "Display Slate Comments", TYPE_BOOL, P_ANIMATABLE,
        IDS_DISPLAY_SLATE_COMMENTS,
        p_default, 1,
        p_ui, TYPE_SINGLECHEKBOX, IDC_DISPLAY_SLATE_COMMENTS,
        end,
    pb_slate_comments, "Slate Comments", TYPE_STRING, 0, IDS_SLATE_COMMENTS,
        p_default, "",
        p_ui, TYPE_EDITBOX, IDC_SLATE_COMMENTS,
        end,
    pb_display_slate_filename, "Display Slate Filename", TYPE_BOOL, P_ANIMATABLE,
        IDS_DISPLAY_SLATE_FILENAME,
        p_default, 1,
        p_ui, TYPE_SINGLECHEKBOX, IDC_DISPLAY_SLATE_FILENAME,
        end,
    pb_display_slate_time_date, "Display Slate Time & Date", TYPE_BOOL, P_ANIMATABLE,
        IDS_DISPLAY_SLATE_TIME_DATE,
        p_default, 1,
        p_ui, TYPE_SINGLECHEKBOX, IDC_DISPLAY_SLATE_TIME_DATE,
        end,

    // ---- merge ----------------------------------------------------------
    pb_use_multithreading, "Use Multithreading", TYPE_BOOL, 0, IDS_USE_MULTITHREADING,
        p_default, 1,
        p_ui, TYPE_SINGLECHEKBOX, IDC_USE_MULTITHREADING,
        end,

    end);
// clang-format on
