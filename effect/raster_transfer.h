// The merge of a drawn TextRaster into the host's frame, row by row, on the
// apply call's thread; and the pixel rule both merges share.
#pragma once

#include <memory>

#include "host_sdk.h"
#include "text_raster.h"

// The rows a merge visits: first_row up to end_row (exclusive), jumping from
// header_last_row to footer_first_row when that lies further down.
struct RowBands {
  int first_row;
  int end_row;
  int header_last_row;
  int footer_first_row;
};

constexpr int kNoBand = -1;

RowBands CaptionBands(int height);
RowBands SlateBands(int height);

// A raster pixel replaces the frame pixel when its red and green are both
// non-zero; its 8-bit channels go to the high byte, alpha becomes opaque.
inline bool PixelRuleTakes(COLORREF c) {
  return GetRValue(c) != 0 && GetGValue(c) != 0;
}
inline BMM_Color_64 ConvertRasterPixel(COLORREF c) {
  return BMM_Color_64{WORD(GetRValue(c) << 8), WORD(GetGValue(c) << 8),
                      WORD(GetBValue(c) << 8), 0xFFFF};
}

// Merges the rows of `bands`. The row buffer is made here, once, and left for
// the caller to free; a missing buffer (no memory) visits no row. Without a
// callback the merge runs with no progress and no cancel.
void TransferRaster(const TextRaster& raster, Bitmap* bm, CheckAbortCallback* cb,
                    const RowBands& bands, std::unique_ptr<BMM_Color_64[]>& row_buffer);
