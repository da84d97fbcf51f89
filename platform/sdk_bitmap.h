// The host's frame buffer and the render-time callbacks the effect is given.
//
// Bitmap: rows of BMM_Color_64 (16-bit RGBA, full scale 0xFFFF), row 0 at the
// top. Width() and Height() are 0 when the bitmap has no storage. GetPixels
// and PutPixels return the count of pixels moved (0 when out of range or
// without storage); a row written back as read leaves the frame unchanged, and
// two threads may read and write different rows of one bitmap at once.
// Declarations only: the stand-in is host/sdk (libhostsdk.so).
#pragma once

#include "sdk_types.h"

struct BMM_Color_64 {
  WORD r;
  WORD g;
  WORD b;
  WORD a;
};

class BitmapStorage;  // the host's pixel store (host/sdk/bitmap_storage.h)

class Bitmap {
 public:
  // The bitmap does not own its storage.
  explicit Bitmap(BitmapStorage* storage = nullptr);
  ~Bitmap();
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  WORD Width();
  WORD Height();
  int GetPixels(int x, int y, int pixels, BMM_Color_64* ptr);
  int PutPixels(int x, int y, int pixels, BMM_Color_64* ptr);

  BitmapStorage* Storage();
  void SetStorage(BitmapStorage* storage);

 private:
  BitmapStorage* storage_;
};

// Given to the effect's apply call by the host.
class CheckAbortCallback {
 public:
  virtual ~CheckAbortCallback() = default;
  virtual BOOL Check() = 0;  // non-zero once the user cancels
  virtual BOOL Progress(int done, int total) = 0;
  virtual void SetTitle(const char* title) = 0;
};

class RenderGlobalContext;  // passed through, never looked at
