// Bitmap rows: clipping at every edge, storage reuse, and two threads writing
// and reading different rows of one frame.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "bitmap_storage.h"

namespace {

BMM_Color_64 Pixel(int x, int y, int salt) { return {WORD(x), WORD(y), WORD(salt), 1}; }
bool Same(BMM_Color_64 a, BMM_Color_64 b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

TEST(Bitmap, SpansAreClippedToTheImage) {
  RGBA16Storage store(8, 4);
  Bitmap bm(&store);
  struct Row {
    int x, y, count, moved, first_x, first_slot;  // first image x written, its source slot
  };
  const Row rows[] = {
      {0, 0, 8, 8, 0, 0},  {2, 1, 3, 3, 2, 0},  {-3, 2, 6, 3, 0, 3},
      {6, 3, 10, 2, 6, 0}, {-5, 0, 20, 8, 0, 5}, {8, 0, 1, 0, 0, 0},
      {0, 4, 1, 0, 0, 0},  {0, -1, 8, 0, 0, 0},  {0, 0, -4, 0, 0, 0},
      {2147483000, 0, 2000, 0, 0, 0}, {-2147483647, 0, 2147483647, 0, 0, 0},
  };
  std::vector<BMM_Color_64> src(32);  // no span reaches past 32 pixels inside the image
  for (int i = 0; i < 32; ++i) src[i] = Pixel(i, 1, 7);
  for (const Row& r : rows) {
    store.Fill({0, 0, 0, 0});
    EXPECT_EQ(bm.PutPixels(r.x, r.y, r.count, src.data()), r.moved) << r.x << "," << r.y;
    if (!r.moved) continue;
    BMM_Color_64 got[8] = {};
    ASSERT_EQ(bm.GetPixels(0, r.y, 8, got), 8);
    EXPECT_TRUE(Same(got[r.first_x], src[r.first_slot])) << r.x;
  }
  Bitmap none;
  EXPECT_EQ(none.Width() + none.Height() + none.GetPixels(0, 0, 4, src.data()), 0);
}

TEST(Bitmap, ResizeReusesMemory) {
  RGBA16Storage store;
  ASSERT_TRUE(store.Resize(640, 480));
  const BMM_Color_64* before = store.Row(0);
  ASSERT_TRUE(store.Resize(320, 240));
  ASSERT_TRUE(store.Resize(640, 480));
  EXPECT_EQ(store.Row(0), before);
  EXPECT_FALSE(store.Resize(70000, 1));
  EXPECT_EQ(store.Width(), 640);
  EXPECT_EQ(store.Row(480), nullptr);
}

TEST(Bitmap, TwoThreadsOnDifferentRows) {
  const int w = 257, h = 301;
  RGBA16Storage store(w, h);
  Bitmap bm(&store);
  auto work = [&](int parity) {
    std::vector<BMM_Color_64> row(w);
    for (int pass = 0; pass < 20; ++pass) {
      for (int y = parity; y < h; y += 2) {
        for (int x = 0; x < w; ++x) row[x] = Pixel(x, y, pass);
        bm.PutPixels(0, y, w, row.data());
        bm.GetPixels(0, y, w, row.data());
        bm.PutPixels(0, y, w, row.data());  // written back as read: unchanged
      }
    }
  };
  std::thread even(work, 0), odd(work, 1);
  even.join();
  odd.join();
  std::vector<BMM_Color_64> row(w);
  for (int y = 0; y < h; ++y) {
    ASSERT_EQ(bm.GetPixels(0, y, w, row.data()), w);
    for (int x = 0; x < w; ++x) ASSERT_TRUE(Same(row[x], Pixel(x, y, 19))) << x << "," << y;
  }
}

}  // namespace
