// Spliced PNG writes, over 8- and 16-bit grey, RGB and RGBA written with
// adaptive and fixed filters at several deflate levels: a lazy frame decodes
// as the image library decodes the file, a stamped frame (captions, or the
// slate) reads back through the library pixel for pixel as drawn, with the
// input's zlib header and every text chunk, the description replaced.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <OpenImageIO/imageio.h>

#include "image_io.h"

using namespace lumatrice;
using OIIO::TypeDesc;
namespace fs = std::filesystem;

namespace {

constexpr int kW = 211, kH = 230;
constexpr const char* kDescription = "Lumatrice:Marker {}";

struct Case {
  const char* name;
  TypeDesc type;
  int channels;
  int filter;  // libpng's filter mask; 0 for its adaptive default
  int level;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

void WriteInput(const Case& c, const std::string& path) {
  OIIO::ImageSpec spec(kW, kH, c.channels, c.type);
  spec.attribute("ImageDescription", "before");
  spec.attribute("Comment", "kept as it was");
  if (c.filter) spec.attribute("png:filter", c.filter);
  spec.attribute("png:compressionLevel", c.level);
  std::vector<unsigned short> pixels(std::size_t(kW) * kH * std::size_t(c.channels));
  for (std::size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = static_cast<unsigned short>((i * 37 % 5000) * 9 + (i * 7919 % 61) * 131);
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out && out->open(path, spec)) << OIIO::geterror();
  ASSERT_TRUE(out->write_image(TypeDesc::UINT16, pixels.data()));
  out->close();
}

// The zlib header of the first IDAT chunk.
std::string ZlibHeader(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  const std::string s((std::istreambuf_iterator<char>(f)), {});
  const std::size_t at = s.find("IDAT");
  return at == std::string::npos ? "" : s.substr(at + 4, 2);
}

void Paint(FrameBuffer& frame, int y0, int y1) {
  FrameStorage storage(&frame);
  std::vector<BMM_Color_64> row(120);
  for (int y = y0; y < y1; ++y) {
    for (std::size_t x = 0; x < row.size(); ++x) {
      const unsigned short v = (x / 2 + std::size_t(y)) % 3 == 0 ? 0xFFFF : 0x3C3C;
      row[x] = BMM_Color_64{v, v, 0x1234, 0xFFFF};
    }
    storage.PutPixels(30, y, int(row.size()), row.data());
  }
  frame.spec().attribute("ImageDescription", kDescription);
  frame.spec().attribute("Lumatrice:Stamped", "yes");
}

bool SameRows(const FrameBuffer& a, const FrameBuffer& b) {
  for (int y = 0; y < a.height(); ++y)
    if (std::memcmp(a.row(y), b.row(y), a.row_bytes()) != 0) return false;
  return true;
}

class PngSpliceTest : public ::testing::TestWithParam<Case> {};

TEST_P(PngSpliceTest, ReadsBackAsDrawnWithTheInputsChunks) {
  const Case& c = GetParam();
  const fs::path dir = fs::path(::testing::TempDir()) /
                       ("png-" + std::string(c.name) + "-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string in = (dir / "in.png").string();
  WriteInput(c, in);
  FrameBuffer whole, lazy;
  ASSERT_EQ(ReadFrame(in, whole).message(), "");
  ASSERT_EQ(ReadFrame(in, lazy, true).message(), "");
  ASSERT_NE(lazy.blocks(), nullptr);
  ASSERT_TRUE(lazy.Materialize());
  EXPECT_TRUE(SameRows(whole, lazy));

  // Captions in a header and a footer; then the slate, every row changed.
  struct Stamp {
    const char* target;
    int y0, y1;
    bool spliced;
  } const stamps[] = {{"header.png", 2, 15, true},
                      {"footer.png", kH - 14, kH - 1, true},
                      {"slate.png", 0, kH, false}};
  for (const Stamp& s : stamps) {
    FrameBuffer frame, want;
    ASSERT_EQ(ReadFrame(in, frame, true).message(), "");
    ASSERT_EQ(ReadFrame(in, want).message(), "");
    Paint(frame, s.y0, s.y1);
    Paint(want, s.y0, s.y1);
    const std::string out = (dir / s.target).string();
    WriteReport report;
    ASSERT_EQ(WriteFrame(out, frame, {}, &report).message(), "") << s.target;
    EXPECT_EQ(report.spliced, s.spliced) << s.target;
    FrameBuffer back;
    ASSERT_EQ(ReadFrame(out, back).message(), "");
    EXPECT_TRUE(SameRows(want, back)) << s.target;
    EXPECT_EQ(back.spec().get_string_attribute("ImageDescription"), kDescription) << s.target;
    EXPECT_EQ(back.spec().get_string_attribute("Lumatrice:Stamped"), "yes") << s.target;
    EXPECT_EQ(back.spec().get_string_attribute("Comment"), "kept as it was") << s.target;
    EXPECT_EQ(ZlibHeader(out), ZlibHeader(in)) << s.target;
  }
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PngSpliceTest,
    ::testing::Values(Case{"rgb8adaptive", TypeDesc::UINT8, 3, 0, 6},
                      Case{"rgba8up", TypeDesc::UINT8, 4, 0x20, 9},
                      Case{"rgb16paeth", TypeDesc::UINT16, 3, 0x80, 1},
                      Case{"rgba16adaptive", TypeDesc::UINT16, 4, 0, 6},
                      Case{"grey16none", TypeDesc::UINT16, 1, 0x08, 4},
                      Case{"greyalpha8sub", TypeDesc::UINT8, 2, 0x10, 6}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
