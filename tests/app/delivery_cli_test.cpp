// The stamp marker and verify, the caption manifest (checked against the
// pixels the effect really stamped), dry runs, preflight and the slate
// policy, through runs of the built lumatrice program in a temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>
#include <nlohmann/json.hpp>

#include "cli_runner.h"
#include "output_lock.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr const char* kClock = "2002-03-07T09:05:03";

using clitest::Slurp;
using Result = clitest::RunResult;

// 8-bit RGB; blue is always 0, so no input pixel looks like a caption grey.
struct Image {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
  OIIO::ImageSpec spec;
  const unsigned char* At(int x, int y) const { return &rgb[(std::size_t(y) * width + x) * 3]; }
};

Image Read(const fs::path& path) {
  Image img;
  auto in = OIIO::ImageInput::open(path.string());
  EXPECT_TRUE(in) << path;
  if (!in) return img;
  img.spec = in->spec();
  img.width = img.spec.width;
  img.height = img.spec.height;
  img.rgb.resize(std::size_t(img.width) * img.height * 3);
  EXPECT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT8, img.rgb.data()));
  return img;
}

void WriteInput(const fs::path& path, int w, int h, int frame,
                const std::string& description = "") {
  OIIO::ImageSpec spec(w, h, 3, OIIO::TypeDesc::UINT8);
  if (!description.empty()) spec.attribute("ImageDescription", description);
  std::vector<unsigned char> px(std::size_t(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      unsigned char* p = &px[(std::size_t(y) * w + x) * 3];
      p[0] = static_cast<unsigned char>(1 + (x * 7 + y * 3 + frame * 11) % 200);
      p[1] = static_cast<unsigned char>(1 + (x + y * 5) % 250);
      p[2] = 0;
    }
  auto out = OIIO::ImageOutput::create(path.string());
  ASSERT_TRUE(out && out->open(path.string(), spec));
  ASSERT_TRUE(out->write_image(OIIO::TypeDesc::UINT8, px.data()));
  ASSERT_TRUE(out->close());
}

bool Grey(const unsigned char* p, int v) { return p[0] == v && p[1] == v && p[2] == v; }

struct Box {
  int left = 0, top = 0, right = 0, bottom = 0;
  bool Has(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
};
Box BoxOf(const Json& j) {
  return {j["left"].get<int>(), j["top"].get<int>(), j["right"].get<int>(),
          j["bottom"].get<int>()};
}

class Delivery : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = clitest::FreshDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }

  Result Run(const std::vector<std::string>& args) { return clitest::RunCli(args, dir_); }

  void MakeInputs(int first, int last, int w, int h, const std::string& ext = "png") {
    for (int f = first; f <= last; ++f) WriteInput(dir_ / Name("in", f, ext), w, h, f);
  }
  static std::string Name(const std::string& stem, int f, const std::string& ext) {
    char name[64];
    std::snprintf(name, sizeof name, "%s.%04d.%s", stem.c_str(), f, ext.c_str());
    return name;
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_))
      if (!lumatrice::OutputLock::IsLockName(e.path().filename())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Every pixel the effect changed lies in a box the manifest gives as
  // visible, and every pixel of such a box is a caption grey or white; a
  // slate frame is dark grey everywhere else.
  void ExpectManifestMatchesPixels(const Json& frame, const Image& in, const Image& out) {
    const std::string where = frame["file"].get<std::string>();
    ASSERT_EQ(out.width, frame["width"].get<int>()) << where;
    ASSERT_EQ(out.height, frame["height"].get<int>()) << where;
    bool slate = false;
    std::vector<Box> visible;
    std::vector<bool> glyphs;
    for (const Json& e : frame["effects"]) {
      slate = slate || e["layout"] == "slate";
      for (const Json& l : e["lines"]) {
        if (l["visible"].is_null()) continue;
        visible.push_back(BoxOf(l["visible"]));
        const std::string text = l["text"];
        glyphs.push_back(text.find_first_not_of(' ') != std::string::npos &&
                         l["visible"] == l["box"]);
      }
    }
    // Only a line no later line paints over must show its glyphs.
    for (std::size_t i = 0; i < visible.size(); ++i)
      for (std::size_t j = i + 1; j < visible.size(); ++j)
        if (visible[i].left < visible[j].right && visible[j].left < visible[i].right &&
            visible[i].top < visible[j].bottom && visible[j].top < visible[i].bottom)
          glyphs[i] = false;
    std::vector<int> white(visible.size(), 0);
    for (int y = 0; y < out.height; ++y)
      for (int x = 0; x < out.width; ++x) {
        const unsigned char* o = out.At(x, y);
        int last = -1;  // the line drawn last over this pixel
        for (std::size_t i = 0; i < visible.size(); ++i)
          if (visible[i].Has(x, y)) last = int(i);
        if (last >= 0) {
          ASSERT_TRUE(Grey(o, 0x3C) || Grey(o, 0xFF)) << where << " in a box at " << x << "," << y;
          white[last] += Grey(o, 0xFF);
        } else if (slate) {
          ASSERT_TRUE(Grey(o, 0x40)) << where << " slate background at " << x << "," << y;
        } else {
          ASSERT_EQ(std::memcmp(in.At(x, y), o, 3), 0) << where << " changed at " << x << "," << y;
        }
      }
    for (std::size_t i = 0; i < visible.size(); ++i)
      if (glyphs[i]) {
        EXPECT_GT(white[i], 0) << where << " line " << i << " shows no glyph";
      }
  }

  fs::path dir_;
};

Json LoadJson(const fs::path& p) { return Json::parse(Slurp(p)); }

// The effect's own lines: same texts, boxes and reference points.
Json LinesOf(const Json& manifest) {
  Json out = Json::array();
  for (const Json& f : manifest["frames"]) out.push_back({f["frame"], f["effects"]});
  return out;
}

}  // namespace

TEST_F(Delivery, ManifestBoxesAreThePixelsTheEffectStamped) {
  struct Case {
    const char* name;
    int w, h;
    std::vector<std::string> args;
  };
  const std::string long_comment(300, 'L');
  const Case cases[] = {
      {"roomy frame, slate then captions", 320, 240,
       {"--set", "Comments=Shot 12 take 3", "--set", "Display Filename=on", "--set",
        "Display Date=on", "--set", "Slate Author=Ana", "--set", "Slate Comments=first pass",
        "--scene-path", "/shows/abc/scene_010.max", "--clock", kClock}},
      {"live clock, held still over each apply", 200, 120,
       {"--set", "Display Date=on", "--set", "Comments=live"}},
      {"narrow short frame, footer items overlap", 90, 20,
       {"--set", "Comments=overlap", "--set", "Display Filename=on", "--set", "Display Date=on",
        "--clock", kClock}},
      {"slate above the top edge, comment cut at 255", 180, 100,
       {"--set", "Comments=" + long_comment, "--set", "Slate Author=" + long_comment,
        "--set", "Slate Comments=notes", "--clock", kClock}},
      {"prepended slate", 160, 90, {"--slate", "prepend", "--set", "Comments=p", "--clock", kClock}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    MakeInputs(1, 3, c.w, c.h);
    std::vector<std::string> args = {"stamp", "in.#.png", "-o", "out.#.png", "-q",
                                     "--manifest", "m.json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const Json m = LoadJson(dir_ / "m.json");
    EXPECT_EQ(m["dry_run"], false);
    ASSERT_FALSE(m["frames"].empty());
    for (const Json& f : m["frames"]) {
      const int source = f.contains("slate_copy_of") ? f["slate_copy_of"].get<int>()
                                                     : f["frame"].get<int>();
      ExpectManifestMatchesPixels(f, Read(dir_ / Name("in", source, "png")),
                                  Read(dir_ / f["file"].get<std::string>()));
    }
  }
}

TEST_F(Delivery, ManifestLinesFollowTheCaptionFormats) {
  MakeInputs(1, 2, 400, 300);
  const std::string long_text(300, 'x');
  const Result r = Run({"stamp", "in.#.png", "-o", "out.#.png", "-q", "--manifest", "m.json",
                        "--dry-run", "--clock", kClock, "--set", "Display Date=on", "--set",
                        "Display Filename=on", "--set", "Comments=" + long_text, "--set",
                        "Slate Author=Ana", "--scene-path", "/a/b/shot.max"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json m = LoadJson(dir_ / "m.json");
  std::map<std::string, Json> lines;
  for (const Json& f : m["frames"])
    for (const Json& l : f["effects"][0]["lines"])
      lines[std::to_string(f["frame"].get<int>()) + " " + l["item"].get<std::string>()] = l;
  struct Expect {
    const char* key;
    std::string text;
    const char* align;
    int x, y, left, top;
  };
  const Expect expects[] = {
      {"1 slate_author_label", " Author ", "center-top", 200, 40, 168, 40},
      {"1 slate_author", " Ana ", "center-top", 200, 60, 180, 60},
      {"1 slate_source_file_label", " Source File ", "center-top", 200, 100, 148, 100},
      {"1 slate_source_file", " /a/b/shot.max ", "center-top", 200, 120, 140, 120},
      {"1 slate_time_date", " 9:5:3 3/7/2002 ", "center-top", 200, 180, 136, 180},
      {"2 header", std::string(" ").append(254, 'x'), "center-top", 200, 2, 200 - 255 * 4, 2},
      {"2 frame_time", "       2 ", "left-bottom", 2, 298, 2, 285},
      {"2 file_name", " shot.max ", "center-bottom", 200, 298, 160, 285},
      {"2 date", " 3/7/2002 ", "right-bottom", 398, 298, 318, 285},
  };
  for (const Expect& e : expects) {
    SCOPED_TRACE(e.key);
    ASSERT_TRUE(lines.count(e.key));
    const Json& l = lines[e.key];
    EXPECT_EQ(l["text"], e.text);
    EXPECT_EQ(l["align"], e.align);
    EXPECT_EQ(l["x"], e.x);
    EXPECT_EQ(l["y"], e.y);
    const Box b = BoxOf(l["box"]);
    EXPECT_EQ(b.left, e.left);
    EXPECT_EQ(b.top, e.top);
    EXPECT_EQ(b.right - b.left, int(e.text.size()) * 8);
    EXPECT_EQ(b.bottom - b.top, 13);
  }
  EXPECT_EQ(lines["2 header"]["cut_from"], 302);
  EXPECT_FALSE(lines["2 date"].contains("cut_from"));
}

TEST_F(Delivery, DryRunTouchesNoImageAndPlansWhatTheRunDraws) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"stamp", {"stamp", "in.#.png", "-o", "out/o.#.png"}},
      {"stamp, prepended slate", {"stamp", "in.#.png", "-o", "out/o.#.png", "--slate", "prepend"}},
      {"render chunk without the first frame",
       {"render", "-o", "out/o.#.png", "--size", "120x80", "--frames", "2-3", "--render-start",
        "1"}},
  };
  MakeInputs(1, 3, 120, 80);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_ / "out");
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--clock", kClock, "-q", "--set", "Comments=plan"});
    const std::vector<std::string> before = Files();
    std::vector<std::string> dry = args;
    dry.push_back("--dry-run");
    const Result planned = Run(dry);
    ASSERT_EQ(planned.status, 0) << planned.err;
    EXPECT_EQ(Files(), before);  // not even the output folder
    const Json plan = Json::parse(planned.out);
    EXPECT_EQ(plan["dry_run"], true);

    args.insert(args.end(), {"--manifest", "real.json"});
    const Result ran = Run(args);
    ASSERT_EQ(ran.status, 0) << ran.err;
    const Json real = LoadJson(dir_ / "real.json");
    EXPECT_EQ(LinesOf(plan), LinesOf(real));
    for (const Json& f : real["frames"])
      EXPECT_TRUE(fs::exists(dir_ / f["file"].get<std::string>())) << f["file"];
    fs::remove(dir_ / "real.json");
  }
}

TEST_F(Delivery, ManifestNeverReplacesAFileOfTheRun) {
  MakeInputs(1, 2, 40, 30);
  ASSERT_EQ(Run({"scene", "new", "s.json"}).status, 0);
  const std::vector<std::vector<std::string>> cases = {
      {"stamp", "in.#.png", "-o", "o.#.png", "--manifest", "in.0001.png"},
      {"stamp", "in.#.png", "-o", "o.#.png", "--manifest", "./o.0002.png"},
      {"stamp", "in.#.png", "s.json", "-o", "o.#.png", "--manifest", "s.json"},
      {"render", "s.json", "-o", "o.#.png", "--frames", "1-2", "--manifest", "s.json"},
      {"render", "-o", "o.#.png", "--frames", "1-2", "--slate", "prepend", "--manifest",
       "o.0000.png"},
  };
  const std::string scene = Slurp(dir_ / "s.json"), first = Slurp(dir_ / "in.0001.png");
  for (const auto& args : cases) {
    const Result r = Run(args);
    EXPECT_EQ(r.status, 2) << args.back() << ": " << r.err;
    EXPECT_NE(r.err.find("manifest"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Files(), (std::vector<std::string>{"in.0001.png", "in.0002.png", "s.json"}));
  EXPECT_EQ(Slurp(dir_ / "s.json"), scene);
  EXPECT_EQ(Slurp(dir_ / "in.0001.png"), first);
}

TEST_F(Delivery, MarkerTravelsInEveryFormatAndGuardsAgainstRestamping) {
  struct Case {
    const char* ext;
    const char* in_description;
  };
  const Case cases[] = {
      {"png", ""}, {"exr", ""}, {"tif", ""}, {"tif", "plate from camera B"}, {"jpg", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.ext) + " " + c.in_description);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    for (int f = 1; f <= 2; ++f) WriteInput(dir_ / Name("in", f, c.ext), 64, 48, f, c.in_description);
    const std::string in = std::string("in.#.") + c.ext, out = std::string("out.#.") + c.ext;

    EXPECT_EQ(Run({"verify", in}).status, 3);
    EXPECT_EQ(Run({"verify", in, "--clean"}).status, 0);
    ASSERT_EQ(Run({"stamp", in, "-o", out, "-q", "--set", "Comments=A"}).status, 0);
    const Result v = Run({"verify", out, "--json"});
    EXPECT_EQ(v.status, 0) << v.out << v.err;
    const Json j = Json::parse(v.out);
    EXPECT_EQ(j["stamped"], 2);
    const Json& first = j["frames"][0];
    EXPECT_EQ(first["effect"], "Lumatrice 0x31b82d35:0x47d45ce7");
    EXPECT_EQ(first["version"], "1.1.0.0");
    EXPECT_EQ(first["settings_hash_matches"], true);
    EXPECT_EQ(first["settings"][0]["parameters"]["Comments"], "A");
    EXPECT_EQ(Run({"verify", out, "--clean"}).status, 3);

    // The user's description stays, with one marker line after it.
    const std::string desc = Read(dir_ / Name("out", 1, c.ext)).spec.get_string_attribute(
        "ImageDescription");
    if (*c.in_description) {
      EXPECT_EQ(desc.rfind(c.in_description, 0), 0u) << desc;
    }

    const std::vector<std::string> before = Files();
    const Result again = Run({"stamp", out, "-o", std::string("re.#.") + c.ext, "-q"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("--allow-restamp"), std::string::npos) << again.err;
    EXPECT_EQ(Files(), before);

    ASSERT_EQ(Run({"stamp", out, "-o", std::string("re.#.") + c.ext, "-q", "--allow-restamp",
                   "--set", "Comments=B"})
                  .status,
              0);
    const Json re = Json::parse(Run({"verify", std::string("re.#.") + c.ext, "--json"}).out);
    EXPECT_EQ(re["frames"][0]["settings"][0]["parameters"]["Comments"], "B");
    EXPECT_NE(re["frames"][0]["settings_hash"], first["settings_hash"]);
    const std::string redesc = Read(dir_ / Name("re", 1, c.ext)).spec.get_string_attribute(
        "ImageDescription");
    EXPECT_EQ(redesc.find("Lumatrice:Marker"), redesc.rfind("Lumatrice:Marker")) << redesc;
    if (*c.in_description) {
      EXPECT_EQ(redesc.rfind(c.in_description, 0), 0u) << redesc;
    }
  }
  // A format without room for the record says so up front.
  const Result bmp = Run({"stamp", "in.#.jpg", "-o", "b.#.bmp", "-q"});
  EXPECT_EQ(bmp.status, 0) << bmp.err;
  EXPECT_NE(bmp.err.find(".bmp files cannot hold the stamp marker"), std::string::npos) << bmp.err;
  EXPECT_EQ(Run({"verify", "b.#.bmp"}).status, 3);
}

// A text longer than the effect draws is recorded as drawn, so a huge
// comment does not grow every frame by its size.
TEST_F(Delivery, MarkerRecordsTextsCutAsDrawn) {
  MakeInputs(1, 1, 64, 48);
  const std::string comment(100000, 'c');
  ASSERT_EQ(Run({"stamp", "in.#.png", "-o", "o.#.png", "-q", "--set", "Comments=" + comment,
                 "--set", "Display Slate=off"})
                .status,
            0);
  EXPECT_LT(Slurp(dir_ / "o.0001.png").size(), 20000u);
  const Json j = Json::parse(Run({"verify", "o.#.png", "--json"}).out);
  EXPECT_EQ(j["frames"][0]["settings"][0]["parameters"]["Comments"], comment.substr(0, 255));
}

TEST_F(Delivery, SettingsHashDependsOnlyOnTheValues) {
  MakeInputs(1, 3, 48, 40);
  const auto hashes = [&](const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"stamp", "in.#.png", "-o", "o.#.png", "-q"};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(Run(args).status, 0);
    const Json j = Json::parse(Run({"verify", "o.#.png", "--json"}).out);
    std::vector<std::string> out;
    for (const Json& f : j["frames"]) out.push_back(f["settings_hash"]);
    for (int f = 1; f <= 3; ++f) fs::remove(dir_ / Name("o", f, "png"));
    return out;
  };
  const auto plain = hashes({});
  EXPECT_EQ(plain[0], plain[2]);
  EXPECT_EQ(hashes({}), plain);  // stable from run to run
  EXPECT_NE(hashes({"--set", "Display Date=on"})[0], plain[0]);
  ASSERT_EQ(Run({"scene", "new", "keyed.json"}).status, 0);
  ASSERT_EQ(Run({"scene", "set", "keyed.json", "Display Date=on", "--at", "3"}).status, 0);
  const auto keyed = hashes({"keyed.json"});
  EXPECT_EQ(keyed[0], plain[0]);
  EXPECT_NE(keyed[2], plain[2]);
}

TEST_F(Delivery, VerifyStatusAnswersTheDeliveryQuestion) {
  MakeInputs(1, 2, 40, 30);
  ASSERT_EQ(Run({"stamp", "in.0001.png", "-o", "mixed.0001.png", "-q"}).status, 0);
  fs::copy_file(dir_ / "in.0002.png", dir_ / "mixed.0002.png");
  // Effects that draw nothing burn nothing in: no marker.
  ASSERT_EQ(Run({"stamp", "in.#.png", "-o", "plain.#.png", "-q", "--set", "Display Header=off",
                 "--set", "Display Footer=off", "--set", "Display Slate=off"})
                .status,
            0);
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* summary;
  };
  const Case cases[] = {
      {{"verify", "mixed.#.png"}, 3, "1 of 2 frames stamped"},
      {{"verify", "mixed.#.png", "--clean"}, 3, "1 of 2 frames stamped"},
      {{"verify", "mixed.#.png", "--frames", "1"}, 0, "1 of 1 frame stamped"},
      {{"verify", "mixed.#.png", "--frames", "2", "--clean"}, 0, "0 of 1 frame stamped"},
      {{"verify", "mixed.#.png", "--frames", "1-3"}, 1, "1 unreadable"},
      {{"verify", "plain.#.png", "--clean"}, 0, "0 of 2 frames stamped"},
      {{"verify", "none.#.png"}, 2, ""},
      // Frames are listed from the folder: a link loop named like frame 2 is
      // an unreadable frame, and a broken link beside them changes nothing.
      {{"verify", "lp.#.png"}, 1, "1 of 3 frames stamped, 1 unreadable"},
      {{"stamp", "lp.#.png", "-o", "lpo.#.png", "--skip-bad-frames", "--allow-restamp", "-q"}, 0,
       "1 frame skipped, not written: 2"},
      {{"verify", "lpo.#.png", "--frames", "1,3"}, 0, "2 of 2 frames stamped"},
  };
  fs::copy_file(dir_ / "mixed.0001.png", dir_ / "lp.0001.png");
  fs::create_symlink("lp.0002.png", dir_ / "lp.0002.png");
  fs::copy_file(dir_ / "mixed.0002.png", dir_ / "lp.0003.png");
  fs::create_symlink("/nonexistent", dir_ / "notes.txt");
  for (const Case& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args.back() << r.out << r.err;
    EXPECT_NE(r.out.find(c.summary), std::string::npos) << r.out;
  }
}

TEST_F(Delivery, PreflightReportsWhatWouldBeLost) {
  const std::string long_text(300, 'y');
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> findings;
  };
  const Case cases[] = {
      {"full HD defaults", {"--size", "1920x1080"}, 0, {"nothing would be lost"}},
      {"narrow frame clips the frame time", {"--size", "64x32", "--frames", "2"}, 3,
       {"frame 2: frame_time clipped at the right edge"}},
      {"short frame cuts the header's rows",
       {"--size", "400x16", "--frames", "2", "--set", "Comments=hi"}, 3,
       {"header clipped at the bottom edge (outside the caption rows"}},
      {"255-character cut", {"--size", "4000x600", "--frames", "2", "--set", "Comments=" + long_text},
       3, {"header cut at 255 characters, 47 characters lost"}},
      {"footer items on a narrow frame",
       {"--size", "120x200", "--frames", "2", "--set", "Display Filename=on", "--set",
        "Display Date=on", "--scene-path", "/p/long_scene_name.max"},
       3, {"frame_time hidden under file_name", "file_name hidden under date"}},
      {"header against footer on a short frame",
       {"--size", "100x24", "--frames", "2", "--set", "Comments=top"}, 3,
       {"header hidden under frame_time"}},
      {"slate blocks above the top edge", {"--size", "640x100", "--frames", "1", "--set",
                                           "Slate Author=Ana"},
       3, {"frame 1: slate_author_label above the top edge"}},
      {"prepended slate checked as frame 0", {"--size", "640x100", "--frames", "1-2", "--slate",
                                              "prepend", "--set", "Slate Author=Ana"},
       3, {"frame 0: slate_author_label above the top edge"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"preflight", "--clock", kClock, "--render-start", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = Run(args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    for (const std::string& f : c.findings) EXPECT_NE(r.out.find(f), std::string::npos) << r.out;
  }
}

TEST_F(Delivery, PreflightAgreesWithTheStampedFrame) {
  // The one line preflight reports is the one whose box runs off the frame.
  MakeInputs(2, 2, 64, 32);
  const Result pre =
      Run({"preflight", "--size", "64x32", "--frames", "2", "--render-start", "1", "--json"});
  ASSERT_EQ(pre.status, 3) << pre.out;
  const Json findings = Json::parse(pre.out)["findings"];
  ASSERT_EQ(findings.size(), 1u) << pre.out;
  EXPECT_EQ(findings[0]["item"], "frame_time");
  ASSERT_EQ(Run({"stamp", "in.#.png", "-o", "o.#.png", "-q", "--render-start", "1",
                 "--manifest", "m.json"})
                .status,
            0);
  const Json line = LoadJson(dir_ / "m.json")["frames"][0]["effects"][0]["lines"][0];
  EXPECT_GT(BoxOf(line["box"]).right, 64);
  EXPECT_EQ(BoxOf(line["visible"]).right, 64);
}

// Two Lumatrice effects: the second is merged over the first.
TEST_F(Delivery, PreflightFindsOneEffectHiddenUnderAnother) {
  struct Case {
    const char* name;
    std::vector<std::string> first, second;  // NAME=VALUE of each effect
    std::vector<std::string> findings;       // empty: preflight passes
  };
  const Case cases[] = {
      {"same footer and slate drawn twice", {"Comments=top", "Slate Author=Ana"},
       {"Display Header=off", "Display Date=on", "Slate Author=Ana"}, {}},
      {"second header over the first", {"Comments=top"}, {"Comments=other text"},
       {"frames 2-3: effect 1 header hidden under effect 2's header, 3 characters lost"}},
      {"second slate over the first's captions", {"Comments=top", "Display Slate=off"},
       {"Display Header=off", "Display Frames=off"},
       {"frame 1: effect 1 header hidden under effect 2's slate",
        "frame 1: effect 1 frame_time hidden under effect 2's slate"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir_ / "two.json");
    ASSERT_EQ(Run({"scene", "new", "two.json"}).status, 0);
    Json scene = LoadJson(dir_ / "two.json");
    scene["render_effects"].push_back(scene["render_effects"][0]);
    clitest::Spill(dir_ / "two.json", scene.dump());
    for (int effect : {1, 2}) {
      std::vector<std::string> args = {"scene", "set", "two.json", "--effect",
                                       std::to_string(effect)};
      const auto& values = effect == 1 ? c.first : c.second;
      args.insert(args.end(), values.begin(), values.end());
      ASSERT_EQ(Run(args).status, 0);
    }
    const Result r = Run({"preflight", "two.json", "--size", "640x480", "--frames", "1-3",
                          "--clock", kClock});
    EXPECT_EQ(r.status, c.findings.empty() ? 0 : 3) << r.out << r.err;
    for (const std::string& f : c.findings) EXPECT_NE(r.out.find(f), std::string::npos) << r.out;
  }
}

TEST_F(Delivery, SlatePrependKeepsTheNumbering) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"prepend", {"--frames", "1-3", "--slate", "prepend"}, 0,
       {"o.0000.png", "o.0001.png", "o.0002.png", "o.0003.png"}},
      {"replace", {"--frames", "1-3", "--slate", "replace"}, 0,
       {"o.0001.png", "o.0002.png", "o.0003.png"}},
      {"chunk without the first frame", {"--frames", "5-6", "--render-start", "1", "--slate",
                                         "prepend"},
       0, {"o.0005.png", "o.0006.png"}},
      {"slate number taken by the run", {"--frames", "3-1", "--slate", "prepend"}, 2, {}},
      {"unknown policy", {"--frames", "1", "--slate", "later"}, 2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_ / "out");
    std::vector<std::string> args = {"render", "-o", "out/o.#.png", "--size", "96x64", "-q",
                                     "--manifest", "m.json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = Run(args);
    ASSERT_EQ(r.status, c.status) << r.err;
    std::vector<std::string> files;
    if (fs::exists(dir_ / "out"))
      for (const auto& e : fs::directory_iterator(dir_ / "out"))
        if (!lumatrice::OutputLock::IsLockName(e.path().filename())) files.push_back(e.path().filename());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, c.files);
  }
  // The prepended slate is the first frame's copy; the first frame keeps its captions.
  ASSERT_EQ(Run({"render", "-o", "o.#.png", "--size", "96x64", "-q", "--frames", "1-2",
                 "--slate", "prepend", "--manifest", "m.json"})
                .status,
            0);
  const Json m = LoadJson(dir_ / "m.json");
  ASSERT_EQ(m["frames"].size(), 3u);
  EXPECT_EQ(m["frames"][0]["frame"], 0);
  EXPECT_EQ(m["frames"][0]["slate_copy_of"], 1);
  EXPECT_EQ(m["frames"][0]["time"], m["frames"][1]["time"]);
  EXPECT_EQ(m["frames"][0]["effects"][0]["layout"], "slate");
  EXPECT_EQ(m["frames"][1]["effects"][0]["layout"], "captions");
  EXPECT_TRUE(Grey(Read(dir_ / "o.0000.png").At(0, 0), 0x40));
  EXPECT_FALSE(Grey(Read(dir_ / "o.0001.png").At(48, 32), 0x40));
}
