// End-to-end runs of the built lumatrice program on small generated
// sequences in a temporary folder.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include <OpenImageIO/half.h>
#include <OpenImageIO/imageio.h>
#include <nlohmann/json.hpp>

#include "cli_runner.h"
#include "output_lock.h"
#include "image_io.h"

namespace fs = std::filesystem;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

namespace {

constexpr const char* kClock = "2002-03-07T09:05:03";

using clitest::Slurp;
using Result = clitest::RunResult;

pid_t Spawn(const std::vector<std::string>& args, const fs::path& dir) {
  return clitest::SpawnCli(args, dir);
}
Result Finish(pid_t pid, const fs::path& dir) { return clitest::FinishCli(pid, dir); }

struct Image {
  ImageSpec spec;
  std::vector<std::byte> pixels;  // in spec.format
  std::size_t Pixel() const { return spec.format.size() * spec.nchannels; }
  const std::byte* At(int x, int y) const {
    return pixels.data() + (std::size_t(y) * spec.width + x) * Pixel();
  }
  // Channel c of (x, y) as a float.
  float Value(int x, int y, int c) const {
    const std::byte* p = At(x, y) + c * spec.format.size();
    switch (spec.format.basetype) {
      case TypeDesc::UINT8: return float(*reinterpret_cast<const std::uint8_t*>(p));
      case TypeDesc::UINT16: return float(*reinterpret_cast<const std::uint16_t*>(p));
      case TypeDesc::HALF: return float(*reinterpret_cast<const half*>(p));
      default: return *reinterpret_cast<const float*>(p);
    }
  }
};

// With `hints` off, read as any other program would: associated as stored,
// straight alpha premultiplied on the way in.
Image Read(const fs::path& path, bool hints = true) {
  Image img;
  ImageSpec config;
  if (hints) config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(path.string(), &config);
  EXPECT_TRUE(in) << path << ": " << OIIO::geterror();
  if (!in) return img;
  img.spec = in->spec();
  img.pixels.resize(img.spec.image_bytes(true));
  EXPECT_TRUE(in->read_image(0, 0, 0, img.spec.nchannels, img.spec.format, img.pixels.data()));
  return img;
}

// Writes a w x h image whose samples come from `value(x, y, c)`.
void Write(const fs::path& path, int w, int h, int channels, TypeDesc type,
           const std::function<float(int, int, int)>& value, bool associated = false) {
  ImageSpec spec(w, h, channels, type);
  // A JPEG keeps it as EXIF data, which only the image library reads.
  if (path.extension() != ".jpg") spec.attribute("Copyright", "lumatrice test pattern");
  if (channels == 4 && !associated) spec.attribute("oiio:UnassociatedAlpha", 1);
  std::vector<float> data(std::size_t(w) * h * channels);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c)
        data[(std::size_t(y) * w + x) * channels + c] = value(x, y, c);
  auto out = OIIO::ImageOutput::create(path.string());
  ASSERT_TRUE(out);
  ASSERT_TRUE(out->open(path.string(), spec));
  // Integer formats take floats in 0..1.
  if (type == TypeDesc::UINT8 || type == TypeDesc::UINT16) {
    const float scale = type == TypeDesc::UINT8 ? 255.0f : 65535.0f;
    for (float& v : data) v = std::round(v) / scale;
  }
  ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, data.data()));
  ASSERT_TRUE(out->close());
}

bool InBands(int y, int h) { return (y >= 2 && y <= 22) || (y >= h - 20 && y <= h - 3); }

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = clitest::FreshDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }
  Result Run(const std::vector<std::string>& args) { return Finish(Spawn(args, dir_), dir_); }

  // Frames 1..n of an 8-bit RGB ramp, in.####.png.
  void MakePngSequence(int n, int w, int h) {
    for (int f = 1; f <= n; ++f) {
      char name[32];
      std::snprintf(name, sizeof name, "in.%04d.png", f);
      Write(dir_ / name, w, h, 3, TypeDesc::UINT8,
            [f](int x, int y, int c) { return float((x * 3 + y * 5 + c * 40 + f * 7) % 200); });
    }
  }

  std::vector<std::string> Files(const fs::path& sub = {}) const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_ / sub))
      if (!lumatrice::OutputLock::IsLockName(e.path().filename())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

}  // namespace

TEST_F(Cli, RenderWritesCaptionedFramesWithOneSlate) {
  const Result r = Run({"render", "-o", "out/r.#.png", "--frames", "1-3", "--size", "200x120",
                        "--clock", kClock, "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("rendered frames 1-3"), std::string::npos) << r.out;
  EXPECT_EQ(Files("out"), (std::vector<std::string>{"r.0001.png", "r.0002.png", "r.0003.png"}));
  const Image slate = Read(dir_ / "out/r.0001.png");
  ASSERT_EQ(slate.spec.width, 200);
  EXPECT_EQ(slate.Value(0, 0, 0), 0x40);  // slate background
  EXPECT_EQ(slate.Value(199, 119, 2), 0x40);
  const Image frame = Read(dir_ / "out/r.0002.png");
  EXPECT_EQ(frame.Value(100, 2, 0), 0x3C);   // header box, top row
  EXPECT_EQ(frame.Value(3, 117, 0), 0x3C);   // footer frame-time box, last row
  EXPECT_NE(frame.Value(100, 60, 0), 0x40);  // the rendered picture in between
}

TEST_F(Cli, StampChangesCaptionPixelsOnlyInEightBitPng) {
  const int w = 320, h = 240;
  MakePngSequence(3, w, h);
  const Result r = Run({"stamp", "in.#.png", "-o", "out.#.png", "--set", "Comments=HELLO",
                        "--clock", kClock, "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("stamped frames 1-3"), std::string::npos) << r.out;

  const Image slate = Read(dir_ / "out.0001.png");
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float v = slate.Value(x, y, 0);
      ASSERT_TRUE(v == 0x40 || v == 0x3C || v == 0xFF) << x << "," << y << " = " << v;
    }
  for (int f = 2; f <= 3; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "%04d.png", f);
    const Image in = Read(dir_ / ("in." + std::string(name)));
    const Image out = Read(dir_ / ("out." + std::string(name)));
    ASSERT_EQ(out.spec.nchannels, 3);
    ASSERT_EQ(out.spec.format, TypeDesc::UINT8);
    int changed = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        if (std::memcmp(in.At(x, y), out.At(x, y), 3) == 0) continue;
        ++changed;
        ASSERT_TRUE(InBands(y, h)) << "changed outside the caption bands at " << x << "," << y;
        const float v = out.Value(x, y, 0);
        ASSERT_TRUE(v == 0x3C || v == 0xFF) << x << "," << y;
      }
    EXPECT_GT(changed, 500);
    // Header box from row 2, footer box down to row h - 3, nothing beyond.
    EXPECT_EQ(out.Value(w / 2, 2, 1), 0x3C);
    EXPECT_EQ(std::memcmp(in.At(w / 2, 1), out.At(w / 2, 1), 3), 0);
    EXPECT_EQ(out.Value(3, h - 3, 1), 0x3C);
    EXPECT_EQ(std::memcmp(in.At(3, h - 2), out.At(3, h - 2), 3), 0);
    EXPECT_EQ(std::memcmp(in.At(1, h - 3), out.At(1, h - 3), 3), 0);
  }
}

TEST_F(Cli, HdrPixelsOutsideTheCaptionsStayBitExact) {
  struct Case {
    const char* name;
    TypeDesc type;
    int channels;
  };
  const Case cases[] = {
      {"half RGB", TypeDesc::HALF, 3},
      {"float RGBA", TypeDesc::FLOAT, 4},
      {"16-bit PNG RGBA", TypeDesc::UINT16, 4},
  };
  const int w = 96, h = 64;
  for (const Case& c : cases) {
    const std::string ext = c.type == TypeDesc::UINT16 ? ".png" : ".exr";
    const std::string in_pattern = std::string("hdr_in.#") + ext;
    for (int f = 1; f <= 2; ++f) {
      Write(dir_ / ("hdr_in.000" + std::to_string(f) + ext), w, h, c.channels, c.type,
            [&](int x, int y, int ch) -> float {
              if (c.type == TypeDesc::UINT16) return float((x * 977 + y * 131 + ch * 5000) % 65536);
              return ch == 3 ? 0.5f + x / 200.0f : (x + y + ch) * 0.37f + f;  // up to ~60
            });
    }
    const Result r = Run({"stamp", in_pattern, "-o", std::string("hdr_out.#") + ext, "--set",
                          "Display Slate=off", "--set", "Comments=HDR", "-q"});
    ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
    for (int f = 1; f <= 2; ++f) {
      const std::string suffix = ".000" + std::to_string(f) + ext;
      const Image in = Read(dir_ / ("hdr_in" + suffix));
      const Image out = Read(dir_ / ("hdr_out" + suffix));
      ASSERT_EQ(out.spec.nchannels, c.channels) << c.name;
      ASSERT_EQ(out.spec.format, c.type) << c.name;
      EXPECT_EQ(out.spec.get_string_attribute("Copyright"), "lumatrice test pattern") << c.name;
      // The effect's 16-bit colour as the file's sample type holds it.
      auto held = [&](int v16) {
        return c.type == TypeDesc::UINT16 ? float(v16) : float(v16) / 65535.0f;
      };
      int changed = 0;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          if (std::memcmp(in.At(x, y), out.At(x, y), in.Pixel()) == 0) continue;
          ++changed;
          ASSERT_TRUE(InBands(y, h)) << c.name << " changed at " << x << "," << y;
          const float v = out.Value(x, y, 0);
          const float box = held(0x3C00), glyph = held(0xFF00);
          ASSERT_TRUE(v == box || v == glyph || v == float(half(box)) || v == float(half(glyph)))
              << c.name << " " << x << "," << y << " = " << v;
          if (c.channels == 4) {
            EXPECT_EQ(out.Value(x, y, 3), held(0xFFFF)) << c.name;
          }
        }
      EXPECT_GT(changed, 100) << c.name;
    }
  }
}

// The slate changes every block: its frame is encoded whole, the caption
// frames copy the chunks between their bands.
TEST_F(Cli, TheSlateFrameIsEncodedWholeTheCaptionFramesSpliced) {
  for (int f = 1; f <= 3; ++f)
    Write(dir_ / ("s_in.000" + std::to_string(f) + ".exr"), 96, 128, 4, TypeDesc::HALF,
          [f](int x, int y, int c) { return 0.1f * c + 0.01f * float((x + y * f) % 50); });
  const Result r = Run({"stamp", "s_in.#.exr", "-o", "s_out.#.exr", "--clock", kClock});
  ASSERT_EQ(r.status, 0) << r.err;
  if (std::getenv("LUMATRICE_TEST_FULL_REENCODE"))
    EXPECT_EQ(r.out.find("spliced"), std::string::npos) << r.out;
  else
    EXPECT_TRUE(r.out.find("; 2 spliced (") != std::string::npos &&
                r.out.find(", 1 encoded whole)") != std::string::npos)
        << r.out;
}

// Every writer goes through the checked file (or the read-back) and must
// still produce the same file it would write on its own: pixels outside the
// caption bands come back as they went in, bit for bit where the format is
// lossless.
TEST_F(Cli, EveryWriterKeepsThePixelsOutsideTheCaptions) {
  struct Case {
    const char* ext;
    TypeDesc type;
    int channels;
    float tolerance;  // in the file's own sample units
    bool associated;  // alpha premultiplied (TIFF ExtraSamples 1)
  };
  const Case cases[] = {
      {".tif", TypeDesc::UINT16, 4, 0, false}, {".tif", TypeDesc::UINT8, 4, 0, false},
      {".tif", TypeDesc::UINT16, 4, 0, true},  {".tif", TypeDesc::UINT8, 4, 0, true},
      {".tif", TypeDesc::UINT8, 3, 0, false},  {".exr", TypeDesc::HALF, 4, 0, true},
      {".dpx", TypeDesc::UINT16, 3, 0, false}, {".tga", TypeDesc::UINT8, 4, 0, false},
      {".bmp", TypeDesc::UINT8, 3, 0, false},  {".sgi", TypeDesc::UINT8, 3, 0, false},
      {".ppm", TypeDesc::UINT8, 3, 0, false},  {".jpg", TypeDesc::UINT8, 3, 12, false},
  };
  const int w = 80, h = 60;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.ext) + " " + c.type.c_str() + (c.associated ? " associated" : ""));
    const fs::path in_path = dir_ / (std::string("w_in.0001") + c.ext);
    const fs::path out_path = dir_ / (std::string("w_out.0001") + c.ext);
    Write(in_path, w, h, c.channels, c.type, [&](int x, int y, int ch) -> float {
      // smooth enough for a lossy codec, varied enough to catch shifted rows
      return float((x * 3 + y * 2 + ch * 40) % 200 + 20) / 255.0f;
    }, c.associated);
    const Result r = Run({"stamp", std::string("w_in.#") + c.ext, "-o",
                          std::string("w_out.#") + c.ext, "--set", "Display Slate=off", "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Image in = Read(in_path);
    const Image out = Read(out_path);
    ASSERT_EQ(out.spec.width, w);
    ASSERT_EQ(out.spec.height, h);
    ASSERT_EQ(out.spec.nchannels, in.spec.nchannels);
    float worst = 0;
    for (int y = 0; y < h; ++y) {
      if (InBands(y, h)) continue;
      for (int x = 0; x < w; ++x)
        for (int ch = 0; ch < in.spec.nchannels; ++ch)
          worst = std::max(worst, std::fabs(in.Value(x, y, ch) - out.Value(x, y, ch)));
    }
    EXPECT_LE(worst, c.tolerance);
    if (c.channels == 4) {
      // The alpha's association is the input's, as readers without hints
      // see it; the caption pixels are opaque, the same in either.
      const Image plain_in = Read(in_path, false), plain_out = Read(out_path, false);
      EXPECT_EQ(plain_out.spec.get_int_attribute("oiio:UnassociatedAlpha", 0),
                plain_in.spec.get_int_attribute("oiio:UnassociatedAlpha", 0));
      const float opaque = c.type == TypeDesc::UINT8 ? 255.0f : c.type == TypeDesc::UINT16 ? 65535.0f : 1.0f;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          bool changed = false;
          for (int ch = 0; ch < 4; ++ch)
            changed |= plain_in.Value(x, y, ch) != plain_out.Value(x, y, ch);
          ASSERT_TRUE(!changed || (InBands(y, h) && plain_out.Value(x, y, 3) == opaque))
              << "pixel " << x << "," << y;
        }
    }
    if (c.channels == 4 && std::string(c.ext) == ".tif") {
      auto extra_samples = [](const fs::path& p) {
        std::string text;
        if (FILE* f = ::popen(("tiffinfo '" + p.string() + "' 2>/dev/null").c_str(), "r")) {
          char line[512];
          while (std::fgets(line, sizeof line, f))
            if (std::strstr(line, "Extra Samples")) text += line;
          ::pclose(f);
        }
        return text;
      };
      EXPECT_NE(extra_samples(out_path).find(c.associated ? "<assoc-alpha>" : "<unassoc-alpha>"),
                std::string::npos)
          << extra_samples(out_path);
    }
    for (const auto& e : fs::directory_iterator(dir_))
      EXPECT_FALSE(lumatrice::IsTemporaryName(e.path().filename().string())) << e.path();
  }
}

TEST_F(Cli, ChunkedRunsEqualOneRun) {
  MakePngSequence(6, 160, 120);
  const std::vector<std::string> common = {"--set", "Display Date=on", "--set",
                                           "Slate Author=Farm", "--clock", kClock, "-q"};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), common.begin(), common.end());
    const Result r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
  };
  run({"stamp", "in.#.png", "-o", "whole/f.#.png", "--frames", "1-6"});
  run({"stamp", "in.#.png", "-o", "chunks/f.#.png", "--frames", "1-2", "--render-start", "1"});
  run({"stamp", "in.#.png", "-o", "chunks/f.#.png", "--frames", "3-4", "--render-start", "1"});
  run({"stamp", "in.#.png", "-o", "chunks/f.#.png", "--frames", "5-6", "--render-start", "1"});
  ASSERT_EQ(Files("whole"), Files("chunks"));
  ASSERT_EQ(Files("whole").size(), 6u);
  for (const std::string& name : Files("whole"))
    EXPECT_EQ(Slurp(dir_ / "whole" / name), Slurp(dir_ / "chunks" / name)) << name;
  // A chunk that does not name the render's start makes its own slate.
  run({"stamp", "in.#.png", "-o", "alone/f.#.png", "--frames", "3-4"});
  EXPECT_NE(Slurp(dir_ / "alone/f.0003.png"), Slurp(dir_ / "whole/f.0003.png"));
  EXPECT_EQ(Slurp(dir_ / "alone/f.0004.png"), Slurp(dir_ / "whole/f.0004.png"));
}

TEST_F(Cli, InterruptedRunLeavesWholeFramesOnly) {
  // Frames land by rename; the folder's rename events say when three have.
  fs::create_directories(dir_ / "out");
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, (dir_ / "out").c_str(), IN_MOVED_TO), 0);
  const pid_t pid = Spawn({"render", "-o", "out/f.#.png", "--frames", "1-2000", "--size",
                           "320x240", "--clock", kClock},
                          dir_);
  int landed = 0;
  alignas(inotify_event) char events[4096];
  pollfd ready{watch, POLLIN, 0};
  while (landed < 3 && ::poll(&ready, 1, 240'000) == 1) {
    const ssize_t n = ::read(watch, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(events + at);
      landed += e->len > 0 && !lumatrice::IsTemporaryName(e->name);
      at += ssize_t(sizeof(inotify_event) + e->len);
    }
  }
  ::close(watch);
  if (landed < 3) ::kill(pid, SIGKILL);
  ASSERT_GE(landed, 3);
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  const Result r = Finish(pid, dir_);
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_NE(r.err.find("cancelled"), std::string::npos) << r.err;
  const auto names = Files("out");
  EXPECT_LT(names.size(), 2000u);
  for (const std::string& name : names) {
    EXPECT_FALSE(lumatrice::IsTemporaryName(name)) << name;
    const Image img = Read(dir_ / "out" / name);
    EXPECT_EQ(img.spec.width, 320) << name;
    EXPECT_EQ(img.spec.height, 240) << name;
  }
}

TEST_F(Cli, MalformedScenesAreRefusedWithTheirFault) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"{\"format_version\": 1,\n \"settings\": [}", "line 2, column"},
      {R"({"format_version": 1, "render_effects": [{"class_id": ["0x31b82d35", "0x47d45ce7"],
          "superclass_id": 4240, "reference_0": {"parameters": {"Colour": true}}}]})",
       "unknown parameter \"Colour\""},
      {R"({"format_version": 1, "render_effects": [{"class_id": ["0x31b82d35", "0x47d45ce7"],
          "superclass_id": 4240, "reference_0": {"parameters": {"Comments": false}}}]})",
       "expected a text"},
      {R"({"format_version": 7})", "version 7"},
  };
  for (const Case& c : cases) {
    { std::ofstream(dir_ / "bad.json") << c.text; }
    const Result r = Run({"render", "bad.json", "-o", "out/f.#.png", "--frames", "1-2", "--size",
                          "64x48", "-q"});
    EXPECT_EQ(r.status, 1) << c.text;
    EXPECT_NE(r.err.find("bad.json"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.text << " -> " << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "out")) << "nothing rendered for " << c.text;
  }
  const Result r = Run({"scene", "show", "nowhere.json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("nowhere.json: no such file"), std::string::npos) << r.err;
}

TEST_F(Cli, MissingInputsFailBeforeAnythingIsWritten) {
  MakePngSequence(4, 64, 48);
  fs::remove(dir_ / "in.0003.png");
  struct Case {
    std::vector<std::string> args;
    const char* message;
    int status = 1;
  };
  const std::vector<std::string> stamp = {"stamp", "in.#.png", "-o", "o/f.#.png", "--frames",
                                          "1-2"};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), stamp.begin(), stamp.end());
    return more;
  };
  const Case cases[] = {
      {{"stamp", "in.#.png", "-o", "o/f.#.png", "--frames", "1-4"}, "1 of 4 frames missing (3)"},
      {{"stamp", "none.#.exr", "-o", "o/f.#.exr"}, "no files match"},
      {{"stamp", "gone.png", "-o", "o/f.png"}, "gone.png"},
      {with({"--view", "Filmic"}), "view \"Filmic\" is not a view of display \"sRGB\"", 2},
      {with({"--display", "P3"}), "display \"P3\" is not in colour config", 2},
      {with({"--colorspace", "sRGB-ish"}), "colour space \"sRGB-ish\" is not in", 2},
      {with({"--caption-space", "display", "--ocio", "nowhere.ocio"}),
       "colour config nowhere.ocio:"},
  };
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[1] << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "o")) << c.args[1];
  }
}

TEST_F(Cli, FramesNamedTwiceAndMultiPartInputsAreRefused) {
  MakePngSequence(2, 64, 48);
  Result r = Run({"stamp", "in.#.png", "-o", "o/f.#.png", "--frames", "1,2,1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("names frame 1 twice"), std::string::npos) << r.err;

  // Two parts in one EXR: writing back the first alone would lose the other.
  auto out = OIIO::ImageOutput::create("parts.exr");
  ASSERT_TRUE(out);
  ImageSpec specs[2] = {ImageSpec(16, 8, 3, TypeDesc::HALF), ImageSpec(16, 8, 3, TypeDesc::HALF)};
  const std::string path = (dir_ / "parts.exr").string();
  ASSERT_TRUE(out->open(path, 2, specs));
  std::vector<half> pixels(16 * 8 * 3, half(0.5f));
  ASSERT_TRUE(out->write_image(TypeDesc::HALF, pixels.data()));
  ASSERT_TRUE(out->open(path, specs[1], OIIO::ImageOutput::AppendSubimage));
  ASSERT_TRUE(out->write_image(TypeDesc::HALF, pixels.data()));
  ASSERT_TRUE(out->close());
  r = Run({"stamp", "parts.exr", "-o", "o/parts.exr"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("several images or parts"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "o/parts.exr"));
}

TEST_F(Cli, OutputThatNamesAnInputIsRefused) {
  MakePngSequence(2, 64, 48);
  fs::create_directories(dir_ / "sub");
  const std::string before = Slurp(dir_ / "in.0001.png");
  for (const char* out : {"in.#.png", "./sub/../in.%04d.png", "in.0001.png"}) {
    std::vector<std::string> args = {"stamp", "in.#.png", "-o", out};
    if (std::string(out) == "in.0001.png") args = {"stamp", "in.0001.png", "-o", out};
    const Result r = Run(args);
    EXPECT_EQ(r.status, 2) << out;
    EXPECT_NE(r.err.find("one of this run's inputs"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Slurp(dir_ / "in.0001.png"), before);
}

TEST_F(Cli, SceneCommandsEditAndKeepUnknownEntries) {
  const std::string unknown =
      R"({"class_id": [7, 9], "superclass_id": 4240, "class_name": "Glow", "data_hex": "ff",
          "reference_0": {"parameters": {"Strength": 0.75}}})";
  {
    std::ofstream(dir_ / "s.json") << R"({"format_version": 1, "render_effects": [)" << unknown
                                   << "]}";
  }
  Result r = Run({"scene", "set", "s.json", "--fps", "25"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("warning"), std::string::npos) << r.err;
  const auto saved = nlohmann::ordered_json::parse(Slurp(dir_ / "s.json"));
  EXPECT_EQ(saved["render_effects"][0], nlohmann::ordered_json::parse(unknown));
  EXPECT_EQ(saved["settings"]["frame_rate"], 25);

  r = Run({"scene", "new", "n.json", "Comments=Take 2", "--time-display", "smpte"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Run({"scene", "new", "n.json"}).status, 1);  // no silent overwrite
  r = Run({"scene", "set", "n.json", "Display Date=on", "--at", "10"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run({"scene", "show", "n.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"Take 2\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("keyed: off at frame 0, on at frame 10"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("smpte"), std::string::npos) << r.out;
  r = Run({"scene", "set", "n.json", "Display Nothing=on"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown parameter \"Display Nothing\""), std::string::npos) << r.err;
}

TEST_F(Cli, PluginsListsTheModule) {
  const Result r = Run({"plugins"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Lumatrice.dlv"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("class 0x31b82d35:0x47d45ce7"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("4200.8.0"), std::string::npos) << r.out;
}

// The image library and its plug-ins' libraries are loaded on the first
// frame, not before: a run that touches no frame never opens them, nor
// OpenColorIO (which OpenImageIO links). The render shows the check would
// see the libraries open.
TEST_F(Cli, OnlyRunsThatTouchFramesLoadTheImageLibrary) {
  struct Case {
    std::vector<std::string> args;
    bool loads;
  } const cases[] = {
      {{"--version"}, false},
      {{"scene", "new", "s.lum", "--empty"}, false},
      {{"plugins"}, false},
      {{"render", "s.lum", "-o", "r.#.png", "--frames", "1", "--size", "32x18", "-q"}, true},
      // Spliced EXR frames, headers read and read back by the core library
      // (no slate: the run's first frame is not in it).
      {{"stamp", "e.#.exr", "-o", "eo.#.exr", "--frames", "2-3", "--render-start", "1",
        "--clock", kClock},
       std::getenv("LUMATRICE_TEST_FULL_REENCODE") != nullptr},
      // Spliced TIFF frames, headers read and read back through libtiff.
      {{"stamp", "t.#.tif", "-o", "to.#.tif", "--frames", "2-3", "--render-start", "1",
        "--clock", kClock},
       std::getenv("LUMATRICE_TEST_FULL_REENCODE") != nullptr},
      // Spliced PNG frames, headers read and read back through libpng.
      {{"stamp", "p.#.png", "-o", "po.#.png", "--frames", "2-3", "--render-start", "1",
        "--clock", kClock},
       std::getenv("LUMATRICE_TEST_FULL_REENCODE") != nullptr},
      // JPEG headers through libjpeg, the captions' blocks coded again in
      // the DCT domain.
      {{"verify", "j.#.jpg", "--clean"}, false},
      {{"stamp", "j.#.jpg", "-o", "jo.#.jpg", "--frames", "2-3", "--render-start", "1",
        "--clock", kClock},
       std::getenv("LUMATRICE_TEST_FULL_REENCODE") != nullptr},
  };
  for (int f = 2; f <= 3; ++f) {
    Write(dir_ / ("e.000" + std::to_string(f) + ".exr"), 96, 128, 4, TypeDesc::HALF,
          [f](int x, int y, int c) { return 0.1f * c + 0.01f * float((x + y * f) % 50); });
    Write(dir_ / ("t.000" + std::to_string(f) + ".tif"), 96, 128, 4, TypeDesc::UINT16,
          [f](int x, int y, int c) { return float(c * 9000 + (x + y * f) % 50 * 300); });
    Write(dir_ / ("p.000" + std::to_string(f) + ".png"), 96, 128, 4, TypeDesc::UINT16,
          [f](int x, int y, int c) { return float(c * 9000 + (x + y * f) % 50 * 300); });
    Write(dir_ / ("j.000" + std::to_string(f) + ".jpg"), 96, 128, 3, TypeDesc::UINT8,
          [f](int x, int y, int c) { return float(c * 60 + (x + y * f) % 50); });
  }
  clitest::RunOptions options;
  options.env = {{"LD_DEBUG", "files"}};
  for (const Case& c : cases) {
    const Result r = clitest::RunCli(c.args, dir_, options);
    ASSERT_EQ(r.status, 0) << c.args[0] << ": " << r.err;
    EXPECT_EQ(r.err.find("file=libOpenImageIO.so") != std::string::npos, c.loads) << c.args[0];
    EXPECT_EQ(r.err.find("file=libOpenColorIO.so") != std::string::npos, c.loads) << c.args[0];
    if (c.args[0] == "stamp" && !c.loads) EXPECT_NE(r.out.find("2 spliced"), std::string::npos);
  }
}
