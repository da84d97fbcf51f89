// Frames through OpenColorIO views, end to end through the built program,
// with OpenColorIO's own ocioconvert as the independent reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include "cli_runner.h"

namespace fs = std::filesystem;
using OIIO::TypeDesc;

namespace {

// The effect's box and glyph colours as float samples.
const float kBox = 0x3C00 / 65535.0f, kGlyph = 0xFF00 / 65535.0f;

bool InBands(int y, int h) { return (y >= 2 && y <= 22) || (y >= h - 20 && y <= h - 3); }

struct Pixels {
  int w = 0, h = 0, nc = 0;
  std::vector<float> v;
  const float* At(int x, int y) const { return &v[(std::size_t(y) * w + x) * nc]; }
};

// Straight from the file, past OpenImageIO's cache: the tests rewrite files.
Pixels Read(const fs::path& path) {
  Pixels p;
  auto in = OIIO::ImageInput::open(path.string());
  EXPECT_TRUE(in) << path << ": " << OIIO::geterror();
  if (!in) return p;
  p.w = in->spec().width, p.h = in->spec().height, p.nc = in->spec().nchannels;
  p.v.resize(std::size_t(p.w) * p.h * p.nc);
  EXPECT_TRUE(in->read_image(0, 0, 0, p.nc, TypeDesc::FLOAT, p.v.data())) << path << ": "
                                                                          << in->geterror();
  return p;
}

// A 96x64 linear frame: a 0.18 grey patch on the left, HDR ramps elsewhere.
void WriteLinear(const fs::path& path, TypeDesc type, int channels) {
  const int w = 96, h = 64;
  OIIO::ImageBuf out(OIIO::ImageSpec(w, h, channels, type));
  std::vector<float> px(channels);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < channels; ++c)
        px[c] = c == 3 ? 1.0f : x < 24 ? 0.18f : (x * 3 + y + c * 17) * 0.013f;
      out.setpixel(x, y, px.data());
    }
  ASSERT_TRUE(out.write(path.string())) << out.geterror();
}

class Colour : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(OCIOCONVERT).empty()) GTEST_SKIP() << "ocioconvert is not installed";
    dir_ = clitest::FreshDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ::unsetenv("OCIO");  // the program's default is the shipped config
  }
  void TearDown() override {
    if (!HasFailure() && !dir_.empty()) fs::remove_all(dir_);
  }
  clitest::RunResult Run(std::vector<std::string> args) {
    args.insert(args.end(), {"--set", "Display Slate=off", "--set", "Comments=HDR", "-q"});
    return clitest::RunCli(args, dir_);
  }
  // ocioconvert --view: the reference picture of `in` on display/view.
  void Reference(const std::string& config, const std::string& in, const std::string& out,
                 const std::string& display, const std::string& view) {
    const std::string cmd = "cd '" + dir_.string() + "' && OCIO='" + config + "' '" +
                            OCIOCONVERT + "' --view " + in + " scene_linear " + out + " '" +
                            display + "' '" + view + "' >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  fs::path dir_;
};

}  // namespace

// The frame reaches the display as OpenColorIO makes it (the 0.18 patch
// included), and what the effect draws has its own values on top.
TEST_F(Colour, ViewConvertsTheFrameAndTheCaptionsKeepTheEffectsValues) {
  struct Case {
    std::string config;  // "" for the shipped one
    std::string display, view;
  };
  std::vector<Case> cases = {{"", "sRGB", "Standard"},
                             {"", "Rec.1886 Rec.709", "ACES 1.0 SDR-video"}};
  if (!std::string(BLENDER_OCIO_CONFIG).empty())
    cases.push_back({BLENDER_OCIO_CONFIG, "sRGB", "Standard"});
  WriteLinear(dir_ / "in.0001.exr", TypeDesc::FLOAT, 4);
  for (const Case& c : cases) {
    std::vector<std::string> args = {"stamp", "in.0001.exr", "-o", "out.0001.exr",
                                     "--display", c.display, "--view", c.view};
    if (!c.config.empty()) args.insert(args.end(), {"--ocio", c.config});
    const auto r = Run(args);
    ASSERT_EQ(r.status, 0) << c.view << ": " << r.err;
    Reference(c.config.empty() ? SHIPPED_OCIO_CONFIG : c.config, "in.0001.exr", "ref.exr",
              c.display, c.view);
    const Pixels out = Read(dir_ / "out.0001.exr"), ref = Read(dir_ / "ref.exr");
    ASSERT_EQ(out.v.size(), ref.v.size());
    int drawn = 0;
    for (int y = 0; y < out.h; ++y)
      for (int x = 0; x < out.w; ++x) {
        const float *o = out.At(x, y), *e = ref.At(x, y);
        bool same = true;
        for (int ch = 0; ch < 3; ++ch) same = same && std::fabs(o[ch] - e[ch]) <= 1e-5f;
        if (same) continue;
        ++drawn;
        ASSERT_TRUE(InBands(y, out.h)) << c.view << " off at " << x << "," << y;
        ASSERT_TRUE(o[0] == kBox || o[0] == kGlyph) << c.view << " " << x << "," << y << " = " << o[0];
      }
    EXPECT_GT(drawn, 100) << c.view;
    // The grey patch below the header, where nothing is drawn.
    EXPECT_NEAR(out.At(5, 30)[0], ref.At(5, 30)[0], 1e-5f) << c.view;
    EXPECT_NE(out.At(5, 30)[0], 0.18f) << c.view << ": not converted";
  }
  // Integer frames are display-referred already: --view leaves them alone.
  OIIO::ImageBuf png(OIIO::ImageSpec(96, 64, 3, TypeDesc::UINT8));
  const float grey[3] = {0.5f, 0.25f, 0.75f};
  OIIO::ImageBufAlgo::fill(png, grey);
  ASSERT_TRUE(png.write((dir_ / "in.0001.png").string()));
  ASSERT_EQ(Run({"stamp", "in.0001.png", "-o", "plain.0001.png"}).status, 0);
  ASSERT_EQ(Run({"stamp", "in.0001.png", "-o", "viewed.0001.png", "--view", "Standard"}).status, 0);
  EXPECT_EQ(Read(dir_ / "plain.0001.png").v, Read(dir_ / "viewed.0001.png").v);
}

// Frames kept scene-linear: the drawn pixels, through the view, are the
// effect's colours; every other pixel keeps its bits.
TEST_F(Colour, CaptionSpaceDisplayRoundTripsThroughTheView) {
  struct Case {
    const char* name;
    TypeDesc type;
    int channels;
    float tolerance;  // half keeps 11 bits of the linear value
  };
  const Case cases[] = {{"float RGBA", TypeDesc::FLOAT, 4, 1e-4f},
                        {"half RGB", TypeDesc::HALF, 3, 1e-3f}};
  for (const Case& c : cases) {
    const std::string tag = c.channels == 4 ? "f" : "h";
    const std::string lin = tag + "lin.0001.exr", cap = tag + "cap.0001.exr",
                      seen_name = tag + "seen.exr";
    WriteLinear(dir_ / lin, c.type, c.channels);
    const auto r = Run({"stamp", lin, "-o", cap, "--caption-space", "display", "--display",
                        "sRGB", "--view", "Standard"});
    ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
    Reference(SHIPPED_OCIO_CONFIG, cap, seen_name, "sRGB", "Standard");
    const Pixels in = Read(dir_ / lin), out = Read(dir_ / cap), seen = Read(dir_ / seen_name);
    int drawn = 0;
    for (int y = 0; y < out.h; ++y)
      for (int x = 0; x < out.w; ++x) {
        if (std::equal(in.At(x, y), in.At(x, y) + in.nc, out.At(x, y))) continue;
        ++drawn;
        ASSERT_TRUE(InBands(y, out.h)) << c.name << " changed at " << x << "," << y;
        const float v = seen.At(x, y)[0];
        ASSERT_TRUE(std::fabs(v - kBox) <= c.tolerance || std::fabs(v - kGlyph) <= c.tolerance)
            << c.name << " " << x << "," << y << " shows " << v;
        ASSERT_NE(out.At(x, y)[0], v) << c.name << ": written as display values";
        if (c.channels == 4) {
          ASSERT_EQ(out.At(x, y)[3], 1.0f) << c.name;
        }
      }
    EXPECT_GT(drawn, 100) << c.name;
  }
}
