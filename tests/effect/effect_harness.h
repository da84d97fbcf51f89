// Test harness for the effect: a frame, an effect object with its block, a
// recording abort callback, and an oracle that draws an expected caption line
// on a raster of its own and checks the frame shows exactly that.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bitmap_storage.h"
#include "host_api.h"
#include "lumatrice_effect.h"
#include "param_ids.h"
#include "raster_host.h"
#include "raster_transfer.h"

constexpr BMM_Color_64 kBackdrop{0x1111, 0x2222, 0x3333, 0x4444};
constexpr BMM_Color_64 kBox{0x3C00, 0x3C00, 0x3C00, 0xFFFF};
constexpr BMM_Color_64 kGlyph{0xFF00, 0xFF00, 0xFF00, 0xFFFF};
constexpr BMM_Color_64 kSlateGrey{0x4000, 0x4000, 0x4000, 0xFFFF};

inline bool operator==(const BMM_Color_64& a, const BMM_Color_64& b) {
  return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}
inline std::ostream& operator<<(std::ostream& os, const BMM_Color_64& c) {
  return os << std::hex << "{" << c.r << "," << c.g << "," << c.b << "," << c.a << "}"
            << std::dec;
}

// A frame filled with the backdrop; records which rows were read and written.
// A split merge calls it from two threads at once, so the records are locked.
class RecordingStorage : public RGBA16Storage {
 public:
  RecordingStorage(int w, int h) : RGBA16Storage(w, h) { Fill(kBackdrop); }
  int GetPixels(int x, int y, int count, BMM_Color_64* ptr) const override {
    {
      std::lock_guard lock(record_mutex_);
      reads.push_back(y);
    }
    return RGBA16Storage::GetPixels(x, y, count, ptr);
  }
  int PutPixels(int x, int y, int count, const BMM_Color_64* ptr) override {
    {
      std::lock_guard lock(record_mutex_);
      writes.push_back(y);
    }
    return RGBA16Storage::PutPixels(x, y, count, ptr);
  }
  BMM_Color_64 At(int x, int y) const { return Row(y)[x]; }
  mutable std::vector<int> reads;
  std::vector<int> writes;

 private:
  mutable std::mutex record_mutex_;
};

class RecordingAbort : public CheckAbortCallback {
 public:
  explicit RecordingAbort(int cancel_after_checks = -1) : cancel_after_(cancel_after_checks) {}
  BOOL Check() override { return ++checks == cancel_after_ ? TRUE : FALSE; }
  BOOL Progress(int done, int total) override {
    progress.emplace_back(done, total);
    return TRUE;
  }
  void SetTitle(const char*) override {}
  std::vector<std::pair<int, int>> progress;
  int checks = 0;

 private:
  int cancel_after_;
};

// An effect as the host makes and deletes it.
class EffectHandle {
 public:
  EffectHandle() : effect_(new LumatriceEffect) {}
  ~EffectHandle() {
    IParamBlock2* block = effect_->pblock;
    effect_->DeleteAllRefs();
    effect_->DeleteThis();
    if (block) block->DeleteThis();
  }
  LumatriceEffect* operator->() { return effect_; }
  LumatriceEffect* get() { return effect_; }
  void Set(short id, int v) { effect_->pblock->SetValue(id, 0, v); }
  void Set(short id, const char* v) { effect_->pblock->SetValue(id, 0, v); }
  void AllCaptionsOff() {
    for (short id : {pb_display_header, pb_display_footer, pb_display_slate}) Set(id, 0);
  }

 private:
  LumatriceEffect* effect_;
};

struct Box {
  int left, top, right, bottom;  // inclusive
};

// Draws `text` as the effect draws a line and checks every pixel of its box in
// the frame against the pixel rule's result. Returns the box drawn.
inline Box ExpectLine(const RecordingStorage& frame, const std::string& text, UINT align,
                      int x, int y) {
  const int w = frame.Width(), h = frame.Height();
  HDC screen = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bm = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(dc, bm);
  SelectObject(dc, GetStockObject(ANSI_FIXED_FONT));
  SetBkMode(dc, OPAQUE);
  SetBkColor(dc, 0x3C3C3C);
  SetTextColor(dc, 0xFFFFFF);
  SetTextAlign(dc, align);
  TextOutA(dc, x, y, text.data(), int(text.size()));

  const int cw = textraster::kCellWidth * int(text.size()), ch = textraster::kCellHeight;
  int left = (align & TA_CENTER) == TA_CENTER ? x - cw / 2
             : (align & TA_RIGHT)             ? x - cw
                                              : x;
  int top = (align & TA_BOTTOM) ? y - ch : y;
  Box box{left, top, left + cw - 1, top + ch - 1};
  int mismatches = 0;
  for (int yy = std::max(0, box.top); yy <= std::min(h - 1, box.bottom); ++yy)
    for (int xx = std::max(0, box.left); xx <= std::min(w - 1, box.right); ++xx) {
      COLORREF c = GetPixel(dc, xx, yy);
      BMM_Color_64 want = ConvertRasterPixel(c);
      if (!(frame.At(xx, yy) == want) && ++mismatches <= 3)
        ADD_FAILURE() << "line \"" << text << "\" pixel (" << xx << "," << yy << ") is "
                      << frame.At(xx, yy) << ", want " << want;
    }
  SelectObject(dc, old);
  DeleteObject(bm);
  DeleteDC(dc);
  DeleteDC(screen);
  return box;
}

inline int CountPixels(const RecordingStorage& frame, BMM_Color_64 c) {
  int n = 0;
  for (int y = 0; y < frame.Height(); ++y)
    for (int x = 0; x < frame.Width(); ++x) n += frame.At(x, y) == c;
  return n;
}

class EffectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostsdk::ResetHost();
    textraster::ClearRasterFaults();
    textraster::ResetMessageBoxCount();
    textraster::SetMessageBoxHandler([this](const char* text, const char* caption, UINT type) {
      messages.push_back(std::string(caption) + "|" + text + "|" + std::to_string(type));
      return 1;
    });
    textraster::PinLocalTime(SYSTEMTIME{2002, 3, 4, 7, 9, 5, 3, 0});
  }
  void TearDown() override {
    textraster::SetMessageBoxHandler(nullptr);
    textraster::ClearRasterFaults();
    textraster::UnpinLocalTime();
    EXPECT_EQ(textraster::LiveContexts(), 0);
    EXPECT_EQ(textraster::LiveBitmaps(), 0);
  }
  void ApplyTo(EffectHandle& fx, RecordingStorage& storage, TimeValue t = 0,
               CheckAbortCallback* cb = nullptr) {
    Bitmap bm(&storage);
    RecordingAbort local;
    fx->Apply(t, &bm, nullptr, cb ? cb : &local);
  }
  std::vector<std::string> messages;
};
