// Row-by-row merge on the calling thread, with progress and cancel after each
// row. Only the rows of the bands are read and written.
#include "raster_transfer.h"

#include <new>

RowBands CaptionBands(int height) {
  return RowBands{2, height - 2, 22, height - 20};
}

RowBands SlateBands(int height) {
  return RowBands{0, height, kNoBand, kNoBand};
}

void TransferRaster(const TextRaster& raster, Bitmap* bm, CheckAbortCallback* cb,
                    const RowBands& bands, std::unique_ptr<BMM_Color_64[]>& row_buffer) {
  const int width = bm->Width();
  const int height = bm->Height();
  row_buffer.reset(new (std::nothrow) BMM_Color_64[width > 0 ? width : 1]);
  if (!row_buffer) return;
  BMM_Color_64* row = row_buffer.get();

  // Rows outside the frame are never touched, whatever the bands say.
  const int first = bands.first_row < 0 ? 0 : bands.first_row;
  const int end_row = bands.end_row > height ? height : bands.end_row;
  for (int y = first; y < end_row;) {
    bm->GetPixels(0, y, width, row);
    for (int x = 0; x < width; ++x) {
      COLORREF c = GetPixel(raster.memory_dc, x, y);
      if (PixelRuleTakes(c)) row[x] = ConvertRasterPixel(c);
    }
    bm->PutPixels(0, y, width, row);

    int next = (y == bands.header_last_row && bands.footer_first_row > y + 1)
                   ? bands.footer_first_row
                   : y + 1;
    if (cb) {
      cb->Progress(next - 1, bands.end_row);
      if (cb->Check()) break;
    }
    y = next;
  }
}
