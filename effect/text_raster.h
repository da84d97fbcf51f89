// The off-screen raster one apply call draws its captions on: a screen
// context, a memory context and a frame-sized bitmap selected into it.
#pragma once

#include "win_gdi.h"

struct TextRaster {
  HDC screen_dc = nullptr;
  HDC memory_dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous_bitmap = nullptr;  // selected back before the bitmap is deleted
};
