// Spliced PNG writes, over 8- and 16-bit grey, RGB and RGBA written with
// adaptive and fixed filters at several deflate levels: a lazy frame decodes
// as the image library decodes the file, a stamped frame (captions, or the
// slate) reads back through the library pixel for pixel as drawn, with the
// input's zlib header and every text chunk, the description replaced.
// libpng's description of a header is the image library's, ancillary
// chunks included, or none.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <OpenImageIO/imageio.h>
#include <zlib.h>

#include "described.h"
#include "image_io.h"
#include "png_header.h"

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
  // Described by libpng, as the image library describes it.
  EXPECT_FALSE(lazy.has_spec());
  EXPECT_EQ(Described(lazy.desc()), Described(whole.desc()));
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

// `chunks` (type, then data) put after the IHDR of the PNG file `from`.
std::string WithChunks(const std::string& from,
                       const std::vector<std::pair<std::string, std::string>>& chunks) {
  std::ifstream f(from, std::ios::binary);
  const std::string s((std::istreambuf_iterator<char>(f)), {});
  auto be32 = [](uLong v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
  std::string out = s.substr(0, 8 + 25);
  for (const auto& [type, data] : chunks) {
    const std::string body = type + data;
    out += be32(data.size()) + body +
           be32(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size())));
  }
  return out + s.substr(8 + 25);
}

TEST(PngHeader, DescribesTheChunksAsTheImageLibrary) {
  const std::string z = [] {
    std::string packed(64, '\0');
    uLongf n = packed.size();
    compress(reinterpret_cast<Bytef*>(packed.data()), &n, reinterpret_cast<const Bytef*>("someone"), 7);
    return packed.substr(0, n);
  }();
  using std::string;
  struct Variant {
    const char* name;
    std::vector<std::pair<string, string>> chunks;
    bool own;
  } const variants[] = {
      {"srgb", {{"sRGB", string(1, '\0')}}, true},
      {"gamma", {{"gAMA", string("\0\0\x9F\x70", 4)}}, true},  // 2.45, named "Gamma2.5"
      {"linear", {{"gAMA", string("\0\x01\x86\xA0", 4)}}, true},
      {"time", {{"tIME", string("\x07\xEA\x0C\x0A\x08\x05\x03", 7)}}, true},
      {"metres", {{"pHYs", string("\0\0\x0B\x13\0\0\x0B\x13\x01", 9)}}, true},
      {"offset", {{"oFFs", string("\0\0\0\x05\xFF\xFF\xFF\xF9\0", 9)}}, true},
      {"ztxt", {{"zTXt", string("Author\0\0", 8) + z}}, true},
      {"itxt", {{"iTXt", string("Title\0\0\0\0\0caf\xC3\xA9", 15)}}, true},
      {"case", {{"tEXt", string("Note\0one", 8)}, {"tEXt", string("note\0two", 8)}}, false},
      {"compression", {{"tEXt", string("Compression\0deflate", 19)}}, true},
      {"typed", {{"tEXt", string("XResolution\0""72", 14)}}, false},
      {"exif", {{"tEXt", string("Raw profile type exif\0x", 23)}}, false},
      {"trns", {{"tRNS", string(6, '\0')}}, false},
  };
  const fs::path dir = fs::path(::testing::TempDir()) / ("pnghdr-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const string base = (dir / "base.png").string();
  WriteInput(Case{"rgb8", TypeDesc::UINT8, 3, 0, 6}, base);
  for (const Variant& v : variants) {
    const string path = (dir / (string(v.name) + ".png")).string();
    std::ofstream(path, std::ios::binary) << WithChunks(base, v.chunks);
    FrameBuffer whole;
    ASSERT_EQ(ReadFrame(path, whole).message(), "") << v.name;
    FrameSpec own;
    string why;
    ASSERT_EQ(DescribePng(path, nullptr, 0, own, why), v.own) << v.name << ": " << why;
    if (v.own) {
      EXPECT_EQ(Described(own), Described(whole.desc())) << v.name;
    }
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
