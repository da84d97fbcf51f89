// The 16-bit face of frames: what effects read, and that only the pixels they
// change are changed, bit for bit, in every sample type.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include <OpenImageIO/half.h>

#include "frame_buffer.h"

using namespace lumatrice;
using OIIO::TypeDesc;

namespace {

// Fills `frame` with awkward values: above 1.0, negative, NaN, ramps.
void FillAwkward(FrameBuffer& frame) {
  const int n = frame.width() * frame.height() * frame.channels();
  for (int i = 0; i < n; ++i) {
    const double v = i % 7 == 0 ? 4.25 : i % 11 == 0 ? -0.5 : (i % 97) / 96.0;
    std::byte* p = frame.data() + std::size_t(i) * frame.type().size();
    switch (frame.type().basetype) {
      case TypeDesc::UINT8: *reinterpret_cast<std::uint8_t*>(p) = std::uint8_t(i * 37); break;
      case TypeDesc::UINT16: *reinterpret_cast<std::uint16_t*>(p) = std::uint16_t(i * 4099); break;
      case TypeDesc::HALF:
        *reinterpret_cast<half*>(p) = i % 13 == 0 ? half(std::numeric_limits<float>::quiet_NaN())
                                                  : half(float(v));
        break;
      case TypeDesc::FLOAT:
        *reinterpret_cast<float*>(p) =
            i % 13 == 0 ? std::numeric_limits<float>::quiet_NaN() : float(v);
        break;
      default: FAIL();
    }
  }
}

struct Layout {
  const char* name;
  TypeDesc type;
  int channels;
};

const Layout kLayouts[] = {
    {"u8 RGB", TypeDesc::UINT8, 3},   {"u8 RGBA", TypeDesc::UINT8, 4},
    {"u8 grey", TypeDesc::UINT8, 1},  {"u16 RGBA", TypeDesc::UINT16, 4},
    {"half RGB", TypeDesc::HALF, 3},  {"half RGBA", TypeDesc::HALF, 4},
    {"float RGBA", TypeDesc::FLOAT, 4}, {"float RGBAZ", TypeDesc::FLOAT, 5},
};

OIIO::ImageSpec SpecFor(const Layout& l, int w, int h) {
  OIIO::ImageSpec spec(w, h, l.channels, l.type);
  if (l.channels == 5) {
    spec.channelnames = {"R", "G", "B", "A", "Z"};
    spec.alpha_channel = 3;
    spec.z_channel = 4;
  }
  return spec;
}

}  // namespace

TEST(FrameStorage, RowsWrittenBackAsReadLeaveEveryBitInPlace) {
  for (const Layout& l : kLayouts) {
    FrameBuffer frame;
    ASSERT_TRUE(frame.Reset(SpecFor(l, 37, 5))) << l.name;
    FillAwkward(frame);
    std::vector<std::byte> before(frame.data(), frame.data() + frame.row_bytes() * 5);
    FrameStorage storage(&frame);
    Bitmap bm(&storage);
    std::vector<BMM_Color_64> row(37);
    for (int y = 0; y < 5; ++y) {
      ASSERT_EQ(bm.GetPixels(0, y, 37, row.data()), 37);
      ASSERT_EQ(bm.PutPixels(0, y, 37, row.data()), 37);
    }
    EXPECT_EQ(std::memcmp(before.data(), frame.data(), before.size()), 0) << l.name;
  }
}

TEST(FrameStorage, ChangedPixelsTakeTheEffectColourAndNothingElseMoves) {
  for (const Layout& l : kLayouts) {
    FrameBuffer frame;
    ASSERT_TRUE(frame.Reset(SpecFor(l, 8, 2))) << l.name;
    FillAwkward(frame);
    std::vector<std::byte> before(frame.data(), frame.data() + frame.row_bytes() * 2);
    FrameStorage storage(&frame);
    std::vector<BMM_Color_64> row(8);
    storage.GetPixels(0, 1, 8, row.data());
    row[3] = {0xFF00, 0x3C00, 0x4000, 0xFFFF};
    storage.PutPixels(0, 1, 8, row.data());

    BMM_Color_64 back{};
    storage.GetPixels(3, 1, 1, &back);
    const std::size_t px = frame.pixel_bytes();
    for (int i = 0; i < 16; ++i) {
      if (i == 8 + 3) continue;
      EXPECT_EQ(std::memcmp(before.data() + i * px, frame.data() + i * px, px), 0)
          << l.name << " pixel " << i;
    }
    if (l.channels == 1) {
      // Grey takes the colour's luma.
      EXPECT_EQ(back.r, back.g);
      continue;
    }
    if (l.type == TypeDesc::UINT8) {
      EXPECT_EQ(back.r, 0xFFFF) << l.name;  // 0xFF00 -> 255 -> 0xFFFF
      EXPECT_EQ(back.g, 0x3C3C) << l.name;
      EXPECT_EQ(back.b, 0x4040) << l.name;
    } else if (l.type == TypeDesc::HALF) {
      // The nearest half to 0xFF00 / 65535 reads back one step lower.
      auto via_half = [](WORD v) {
        return WORD(std::lround(float(half(v / 65535.0f)) * 65535.0f));
      };
      EXPECT_EQ(back.r, via_half(0xFF00)) << l.name;
      EXPECT_EQ(back.g, via_half(0x3C00)) << l.name;
      EXPECT_EQ(back.b, via_half(0x4000)) << l.name;
    } else {
      EXPECT_EQ(back.r, 0xFF00) << l.name;
      EXPECT_EQ(back.g, 0x3C00) << l.name;
      EXPECT_EQ(back.b, 0x4000) << l.name;
    }
    if (l.channels >= 4) {
      EXPECT_EQ(back.a, 0xFFFF) << l.name;
    }
    if (l.channels == 5) {
      // The depth channel of a changed pixel keeps its value.
      EXPECT_EQ(std::memcmp(before.data() + 11 * px + 16, frame.data() + 11 * px + 16, 4), 0);
    }
  }
}

TEST(FrameStorage, ReadsConvertToSixteenBits) {
  struct Case {
    TypeDesc type;
    float value;
    WORD expect;
  };
  const Case cases[] = {
      {TypeDesc::FLOAT, 0.0f, 0},        {TypeDesc::FLOAT, 1.0f, 0xFFFF},
      {TypeDesc::FLOAT, 4.0f, 0xFFFF},   {TypeDesc::FLOAT, -1.0f, 0},
      {TypeDesc::FLOAT, 0.5f, 0x8000},   {TypeDesc::HALF, 2.0f, 0xFFFF},
      {TypeDesc::HALF, 0.25f, 0x4000},   {TypeDesc::FLOAT, std::nanf(""), 0},
  };
  for (const Case& c : cases) {
    FrameBuffer frame;
    ASSERT_TRUE(frame.Reset(OIIO::ImageSpec(1, 1, 3, c.type)));
    for (int ch = 0; ch < 3; ++ch) {
      if (c.type == TypeDesc::HALF)
        reinterpret_cast<half*>(frame.data())[ch] = half(c.value);
      else
        reinterpret_cast<float*>(frame.data())[ch] = c.value;
    }
    FrameStorage storage(&frame);
    BMM_Color_64 px{};
    ASSERT_EQ(storage.GetPixels(0, 0, 1, &px), 1);
    EXPECT_EQ(px.r, c.expect) << c.value;
    EXPECT_EQ(px.a, 0xFFFF) << "no alpha reads as opaque";
  }
}

TEST(FrameStorage, ReusesItsMemoryAcrossFramesOfOneSize) {
  FrameBuffer frame;
  ASSERT_TRUE(frame.Reset(OIIO::ImageSpec(64, 32, 4, TypeDesc::HALF)));
  const std::byte* memory = frame.data();
  ASSERT_TRUE(frame.Reset(OIIO::ImageSpec(64, 32, 4, TypeDesc::HALF)));
  ASSERT_TRUE(frame.Reset(OIIO::ImageSpec(32, 32, 3, TypeDesc::UINT8)));
  EXPECT_EQ(frame.data(), memory);
  EXPECT_FALSE(frame.Reset(OIIO::ImageSpec(70000, 1, 3, TypeDesc::UINT8)));
  EXPECT_FALSE(frame.Reset(OIIO::ImageSpec(0, 10, 3, TypeDesc::UINT8)));
}
