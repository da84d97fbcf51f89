// Parameter IDs of the effect's one parameter block: the only key by which the
// effect names a parameter.
#pragma once

enum LumatriceParamID : short {
  pb_display_header = 0,
  pb_display_footer = 1,
  pb_display_comments = 2,
  pb_comments = 3,
  pb_display_frames = 4,
  pb_display_filename = 5,
  pb_display_date = 6,
  pb_display_slate = 7,
  pb_display_slate_author = 8,
  pb_slate_author = 9,
  pb_display_slate_comments = 10,
  pb_slate_comments = 11,
  pb_display_slate_filename = 12,
  pb_display_slate_time_date = 13,
  pb_use_multithreading = 14,
};

constexpr int kLumatriceParamCount = 15;
constexpr short kLumatriceBlockID = 0;
