// The per-frame call: create the raster, read the parameters at the frame's
// time, draw the slate or the captions, merge into the frame, clean up. The
// clean-up runs on every path and always uses up the slate mark.
#include <memory>

#include "caption_layout.h"
#include "lumatrice_effect.h"
#include "raster_transfer.h"
#include "transfer_worker.h"

void ShowMessage(const char* text) { MessageBoxA(nullptr, text, "Lumatrice", MB_OK); }

namespace {

bool CreateTextRaster(TextRaster& raster, int width, int height) {
  raster.screen_dc = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  if (!raster.screen_dc) {
    ShowMessage("Unable to create device context for screen.");
    return false;
  }
  raster.memory_dc = CreateCompatibleDC(raster.screen_dc);
  if (!raster.memory_dc) {
    ShowMessage("Unable to create memory device context.");
    return false;
  }
  raster.bitmap = CreateCompatibleBitmap(raster.screen_dc, width, height);
  if (!raster.bitmap) {
    ShowMessage("Unable to create compatible bitmap.");
    return false;
  }
  raster.previous_bitmap = SelectObject(raster.memory_dc, raster.bitmap);
  return true;
}

// A selected bitmap cannot be deleted: put the previous one back first.
void ReleaseTextRaster(TextRaster& raster) {
  if (raster.bitmap) {
    if (raster.memory_dc && raster.previous_bitmap)
      SelectObject(raster.memory_dc, raster.previous_bitmap);
    DeleteObject(raster.bitmap);
  }
  if (raster.memory_dc) DeleteDC(raster.memory_dc);
  if (raster.screen_dc) DeleteDC(raster.screen_dc);
  raster = TextRaster{};
}

}  // namespace

void LumatriceEffect::Apply(TimeValue t, Bitmap* bm, RenderGlobalContext* /*gc*/,
                            CheckAbortCallback* cb) {
  if (!cb) assert1(__LINE__, __FILE__);

  TextRaster raster;
  std::unique_ptr<BMM_Color_64[]> row_buffer;
  // Without a frame or a block there is nothing to draw or read.
  if (bm && pblock) {
    const int width = bm->Width();
    const int height = bm->Height();
    if (CreateTextRaster(raster, width, height)) {
      CaptionSnapshot snap;
      ReadSnapshot(pblock, t, snap);

      SetBkMode(raster.memory_dc, OPAQUE);
      SetBkColor(raster.memory_dc, RGB(0x3C, 0x3C, 0x3C));
      SetTextColor(raster.memory_dc, RGB(0xFF, 0xFF, 0xFF));
      SelectObject(raster.memory_dc, GetStockObject(ANSI_FIXED_FONT));

      const bool slate = slate_mark && snap.pb_display_slate;
      if (slate) {
        DrawSlate(raster.memory_dc, snap, width, height);
        if (snap.pb_use_multithreading && TransferWorkerAvailable())
          SplitTransfer(raster.memory_dc, bm);
        else
          TransferRaster(raster, bm, cb, SlateBands(height), row_buffer);
      } else {
        DrawCaptions(raster.memory_dc, snap, t, width, height);
        TransferRaster(raster, bm, cb, CaptionBands(height), row_buffer);
      }
    }
  } else if (!pblock) {
    assert1(__LINE__, __FILE__);
  }

  slate_mark = 0;
  ReleaseTextRaster(raster);
  row_buffer.reset();
}
