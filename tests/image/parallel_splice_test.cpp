// Spliced writes coded on several threads come out byte for byte as coded on
// one, and a slate whose blocks are mostly alike (each coded once, its bytes
// reused) decodes as the same slate encoded whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <OpenImageIO/imageio.h>

#include "block_encoder.h"
#include "image_io.h"

using namespace lumatrice;
using OIIO::TypeDesc;
namespace fs = std::filesystem;

namespace {

constexpr int kW = 160, kH = 400;

struct Case {
  const char* ext;
  const char* compression;
  TypeDesc type;
  bool tiled;
};

std::vector<char> Bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void WriteInput(const Case& c, const std::string& path) {
  OIIO::ImageSpec spec(kW, kH, 4, c.type);
  spec.attribute("compression", c.compression);
  if (c.tiled) spec.tile_width = spec.tile_height = 48;  // edge tiles padded
  if (std::strcmp(c.ext, ".tif") == 0) spec.attribute("tiff:RowsPerStrip", 8);
  std::vector<float> pixels(std::size_t(kW) * kH * 4);
  for (std::size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = float((i * 2654435761u >> 20) & 0x3FF) / 1023.0f;
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out && out->open(path, spec)) << OIIO::geterror();
  ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, pixels.data()));
  out->close();
}

// Flat grey with text-like rows in the middle: most blocks alike, some not.
void PaintSlate(FrameBuffer& frame, bool every_row) {
  FrameStorage storage(&frame);
  std::vector<BMM_Color_64> row(kW);
  for (int y = every_row ? 0 : 150; y < (every_row ? kH : 260); ++y) {
    for (int x = 0; x < kW; ++x) {
      const bool ink = y >= 150 && y < 260 && ((x * 7 + y * 3) % 11) < 3;
      const uint16_t v = ink ? uint16_t(0xF000 - 40 * y) : 0x4040;
      row[std::size_t(x)] = BMM_Color_64{v, v, v, 0xFFFF};
    }
    storage.PutPixels(0, y, kW, row.data());
  }
  frame.spec().attribute("ImageDescription", "Lumatrice:Marker {}");
}

class ParallelSpliceTest : public ::testing::TestWithParam<Case> {};

TEST_P(ParallelSpliceTest, ThreadsChangeNoByteAndTheSlateDecodesAsWhole) {
  const Case c = GetParam();
  const fs::path dir = fs::path(::testing::TempDir()) / ("par-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string in = (dir / ("in" + std::string(c.ext))).string();
  WriteInput(c, in);
  for (bool slate : {false, true}) {
    std::vector<char> files[2];
    int reused[2] = {}, grey_blocks = 0;
    for (int threads : {1, 4}) {
      SetBlockEncodeThreads(threads);
      FrameBuffer frame;
      ASSERT_EQ(ReadFrame(in, frame, true).message(), "");
      ASSERT_NE(frame.blocks(), nullptr);
      const BlockFile& f = *frame.blocks();
      grey_blocks = 0;
      for (int b = 0; b < f.count(); ++b) {
        const int y0 = (b / f.blocks_x) * f.block_h;
        grey_blocks += y0 + f.block_h <= 150 || y0 >= 260;
      }
      PaintSlate(frame, slate);
      const std::string out = (dir / ("t" + std::to_string(threads) + c.ext)).string();
      WriteReport report;
      ASSERT_EQ(WriteFrame(out, frame, {}, &report).message(), "");
      EXPECT_EQ(report.spliced, !slate);
      files[threads > 1] = Bytes(out);
      reused[threads > 1] = report.reused;
    }
    SetBlockEncodeThreads(0);
    EXPECT_EQ(files[0], files[1]) << (slate ? "slate" : "caption rows");
    EXPECT_EQ(reused[0], reused[1]);
    if (!slate) continue;
    // Most of the slate's blocks are its flat grey.
    FrameBuffer whole_frame;
    ASSERT_EQ(ReadFrame(in, whole_frame).message(), "");
    PaintSlate(whole_frame, true);
    const std::string whole = (dir / ("whole" + std::string(c.ext))).string();
    ASSERT_EQ(WriteFrame(whole, whole_frame, WriteOptions{nullptr, false, ""}).message(), "");
    // One of each extent is coded (a tiled frame's edges have three more).
    EXPECT_GE(reused[0], grey_blocks - 4);
    EXPECT_GT(reused[0], 0);
    FrameBuffer a, b;
    ASSERT_EQ(ReadFrame((dir / ("t4" + std::string(c.ext))).string(), a).message(), "");
    ASSERT_EQ(ReadFrame(whole, b).message(), "");
    for (int y = 0; y < kH; ++y)
      ASSERT_EQ(std::memcmp(a.row(y), b.row(y), a.row_bytes()), 0) << "row " << y;
  }
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, ParallelSpliceTest,
    ::testing::Values(Case{".exr", "zip", TypeDesc::HALF, false},
                      Case{".exr", "piz", TypeDesc::FLOAT, false},
                      Case{".tif", "zip", TypeDesc::UINT16, false},
                      Case{".tif", "lzw", TypeDesc::UINT8, false},
                      Case{".tif", "zip", TypeDesc::UINT16, true}),
    [](const ::testing::TestParamInfo<Case>& info) {
      return std::string(info.param.ext + 1) + "_" + info.param.compression + "_" +
             info.param.type.c_str() + (info.param.tiled ? "_tiles" : "");
    });

}  // namespace
