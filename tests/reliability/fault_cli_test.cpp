// Fault injection through the built lumatrice program: an image that cannot
// be read part-way through a sequence, writes that fail (full disk,
// unwritable folder), and plug-in modules that must be refused by name while
// the others load. Every case checks the status, the message and that no
// input, earlier output or temporary file is harmed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <OpenImageIO/imageio.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "image_io.h"
#include "temp_files.h"

using namespace clitest;
using OIIO::TypeDesc;

namespace {

constexpr const char* kClock = "2002-03-07T09:05:03";
constexpr uid_t kNobody = 65534;

// An 8-bit RGB pattern that compresses badly, different for every seed, in
// the format the extension names.
void WritePng(const fs::path& path, int seed, int w = 160, int h = 120) {
  fs::create_directories(path.parent_path());
  OIIO::ImageSpec spec(w, h, 3, TypeDesc::UINT8);
  std::vector<unsigned char> px(std::size_t(w) * h * 3);
  unsigned v = 2166136261u + seed;
  for (auto& p : px) p = static_cast<unsigned char>((v = v * 16777619u + 7) >> 24);
  auto out = OIIO::ImageOutput::create(path.string());
  ASSERT_TRUE(out && out->open(path.string(), spec));
  ASSERT_TRUE(out->write_image(TypeDesc::UINT8, px.data()));
  ASSERT_TRUE(out->close());
}

std::string Frame(const std::string& stem, int f, const std::string& ext = ".png") {
  char n[16];
  std::snprintf(n, sizeof n, ".%04d", f);
  return stem + n + ext;
}

bool HasTemporary(const Snapshot& s) {
  for (const auto& [name, bytes] : s)
    if (lumatrice::IsTemporaryName(fs::path(name).filename().string())) return true;
  return false;
}

class FaultCli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = FreshDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::all, fs::perm_options::add);
    for (const auto& e : fs::recursive_directory_iterator(dir_))
      if (e.is_directory()) fs::permissions(e.path(), fs::perms::all, fs::perm_options::add);
    if (!HasFailure()) fs::remove_all(dir_);
  }
  fs::path dir_;
};

// ---- reads failing part-way ---------------------------------------------

TEST_F(FaultCli, UnreadableFrameMidSequenceStopsTheRunAndKeepsEarlierFramesWhole) {
  struct Case {
    const char* what;
    int bad_frame;
    bool header_unreadable;  // refused while checking the headers, before any write
    std::string (*spoil)(const std::string& good);
  };
  const Case cases[] = {
      {"truncated", 3, false, [](const std::string& g) { return g.substr(0, g.size() / 3); }},
      {"empty", 2, true, [](const std::string&) { return std::string(); }},
      {"garbage", 4, true, [](const std::string& g) { return std::string(g.size(), '\x5a'); }},
      {"pixels corrupt", 3, false,
       [](const std::string& g) {
         std::string s = g;
         for (std::size_t i = 80; i + 16 < s.size(); i += 3) s[i] = char(s[i] ^ 0xA5);
         return s;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = dir_ / c.what;
    for (int f = 1; f <= 5; ++f) WritePng(dir / Frame("in/shot", f), f);
    // What a clean run writes for the frames before the fault.
    ASSERT_EQ(RunCli({"stamp", "in/shot.#.png", "-o", "ref/frame.#.png", "--clock", kClock, "-q"},
                     dir).status, 0);
    const std::string bad = Frame("in/shot", c.bad_frame);
    Spill(dir / bad, c.spoil(Slurp(dir / bad)));
    const Snapshot before = Snap(dir);

    const RunResult r =
        RunCli({"stamp", "in/shot.#.png", "-o", "out/frame.#.png", "--clock", kClock, "-q"}, dir);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(bad), std::string::npos) << "message must name the file: " << r.err;

    const Snapshot after = Snap(dir);
    for (const auto& [name, bytes] : before) EXPECT_TRUE(after.at(name) == bytes) << name;
    EXPECT_FALSE(HasTemporary(after));
    for (int f = 1; f <= 5; ++f) {
      const std::string out = Frame("out/frame", f);
      if (f >= c.bad_frame || c.header_unreadable) {
        EXPECT_FALSE(after.count(out)) << out << " written at or after the fault";
      } else {
        // Every frame read before the fault is written, exactly as a clean
        // run writes it.
        ASSERT_TRUE(after.count(out)) << out << " read before the fault but not written";
        EXPECT_TRUE(after.at(out) == after.at(Frame("ref/frame", f))) << out;
      }
    }
  }
}

// With --skip-bad-frames the bad frames are passed over with a warning each,
// and the good ones come out exactly as a run over the good frames alone
// writes them: the slate moves on to the first good frame.
TEST_F(FaultCli, SkipBadFramesWritesTheGoodFramesAsARunWithoutTheBadOnes) {
  for (int f = 1; f <= 6; ++f) WritePng(dir_ / Frame("in/shot", f), f);
  const std::vector<std::string> common = {"--set", "Display Slate=on", "--clock", kClock, "-q"};
  auto args = [&](std::vector<std::string> a) {
    a.insert(a.end(), common.begin(), common.end());
    return a;
  };
  ASSERT_EQ(RunCli(args({"stamp", "in/shot.#.png", "--frames", "2,3,6", "-o", "ref/f.#.png"}),
                   dir_).status, 0);
  Spill(dir_ / Frame("in/shot", 1), "");
  const std::string good4 = Slurp(dir_ / Frame("in/shot", 4));
  Spill(dir_ / Frame("in/shot", 4), good4.substr(0, good4.size() / 2));
  fs::remove(dir_ / Frame("in/shot", 5));
  const Snapshot before = Snap(dir_);

  const RunResult r = RunCli(
      args({"stamp", "in/shot.#.png", "--frames", "1-6", "-o", "out/f.#.png", "--skip-bad-frames"}),
      dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  for (int bad : {1, 4, 5}) {
    EXPECT_NE(r.err.find("frame " + std::to_string(bad) + " skipped: " + Frame("in/shot", bad)),
              std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / Frame("out/f", bad)));
  }
  EXPECT_NE(r.out.find("3 frames skipped, not written: 1, 4, 5"), std::string::npos) << r.out;
  const Snapshot after = Snap(dir_);
  for (const auto& [name, bytes] : before) EXPECT_TRUE(after.at(name) == bytes) << name;
  for (int good : {2, 3, 6})
    EXPECT_TRUE(after.at(Frame("out/f", good)) == after.at(Frame("ref/f", good))) << good;
  EXPECT_FALSE(HasTemporary(after));

  // Nothing readable at all is a failed run, not an empty success.
  const RunResult none = RunCli(
      args({"stamp", "in/shot.#.png", "--frames", "1,4,5", "-o", "none/f.#.png", "--skip-bad-frames"}),
      dir_);
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("every frame was skipped"), std::string::npos) << none.err;
}

// A spliced EXR frame decodes only the chunks the captions cover: a damaged
// one there skips the frame, a damaged one elsewhere is copied as it was.
TEST_F(FaultCli, DamagedExrChunkSkipsItsFrameOnlyUnderTheCaptions) {
  // 160x120 zip: 16-line chunks, the captions on 0-1 and 6-7.
  auto damage = [](std::string& exr, int chunk) {
    std::size_t at = 8;  // magic and version, then name, type, size, value
    while (exr[at] != '\0') {
      at = exr.find('\0', exr.find('\0', at) + 1) + 1;
      std::int32_t size = 0;
      std::memcpy(&size, &exr[at], 4);
      at += 4 + std::size_t(size);
    }
    std::uint64_t offset = 0;
    std::memcpy(&offset, &exr[at + 1 + 8 * std::size_t(chunk)], 8);
    // Past the chunk's line number, size and zlib header.
    for (std::size_t i = offset + 10; i < offset + 40; ++i) exr[i] = char(exr[i] ^ 0x5A);
    return exr.substr(offset + 10, 30);
  };
  std::string kept;
  for (int f = 1; f <= 3; ++f) {
    const fs::path path = dir_ / Frame("in/shot", f, ".exr");
    fs::create_directories(path.parent_path());
    OIIO::ImageSpec spec(160, 120, 3, TypeDesc::HALF);
    spec.attribute("compression", "zip");
    std::vector<float> px(std::size_t(160) * 120 * 3);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = float(i % 480) / 480.0f;
    auto out = OIIO::ImageOutput::create(path.string());
    ASSERT_TRUE(out && out->open(path.string(), spec));
    ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, px.data()));
    ASSERT_TRUE(out->close());
    if (f == 1) continue;
    std::string bytes = Slurp(path);
    const std::string damaged = damage(bytes, f == 2 ? 0 : 3);
    if (f == 3) kept = damaged;
    Spill(path, bytes);
  }
  const RunResult r = RunCli({"stamp", "in/shot.#.exr", "-o", "out/f.#.exr", "--set",
                              "Display Slate=off", "--skip-bad-frames", "--clock", kClock, "-q"},
                             dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("frame 2 skipped: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / Frame("out/f", 2, ".exr")));
  EXPECT_TRUE(fs::exists(dir_ / Frame("out/f", 1, ".exr")));
  EXPECT_NE(Slurp(dir_ / Frame("out/f", 3, ".exr")).find(kept), std::string::npos);
  EXPECT_FALSE(HasTemporary(Snap(dir_)));
}

// ---- writes failing -----------------------------------------------------

// Encoders drop the results of their own writes: a frame counts as written
// only when every byte reached the disk.
TEST_F(FaultCli, FullDiskLeavesTheTargetAsItWasAndNoTemporaryFile) {
  struct Case {
    const char* ext;
    const char* slate;  // a slate frame packs small, a frame of noise does not
    rlim_t limit;       // bytes the disk takes; every frame here needs more
    const char* in_ext = ".png";  // an EXR input to an EXR target is spliced
  };
  const Case cases[] = {{".png", "on", 1024},  {".png", "off", 1024}, {".png", "off", 65536},
                        {".tif", "on", 1024},  {".tif", "off", 1024}, {".tif", "off", 65536},
                        {".exr", "on", 1024},  {".exr", "on", 4096},  {".exr", "off", 65536},
                        {".exr", "off", 1024, ".exr"}, {".exr", "off", 65536, ".exr"},
                        {".jpg", "off", 4096}, {".dpx", "off", 65536}, {".tga", "off", 65536},
                        // no checked proxy for SGI: read back before the rename
                        {".sgi", "off", 65536}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.in_ext) + " to " + c.ext + " slate " + c.slate + " limit " +
                 std::to_string(c.limit));
    const fs::path dir = dir_ / (std::string(c.in_ext + 1) + "_" + (c.ext + 1) + "_" + c.slate +
                                 std::to_string(c.limit));
    WritePng(dir / ("in/shot.0001" + std::string(c.in_ext)), 1, 320, 240);
    const std::string target = "out/frame.0001" + std::string(c.ext);
    Spill(dir / target, "earlier content of the target");
    const Snapshot before = Snap(dir);

    RunOptions full;
    full.file_size_limit = c.limit;
    const RunResult r = RunCli({"stamp", "in/shot.#" + std::string(c.in_ext), "-o",
                                std::string("out/frame.#") + c.ext, "--set",
                                std::string("Display Slate=") + c.slate, "--clock", kClock, "-q"},
                               dir, full);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    // The system's reason, except where only the read-back finds the fault.
    const std::string reason = std::strcmp(c.ext, ".sgi") == 0 ? "" : std::strerror(EFBIG);
    EXPECT_NE(r.err.find(target + ": " + reason), std::string::npos) << r.err;
    // The target untouched, nothing left behind.
    EXPECT_EQ(Changes(before, Snap(dir)), "");
  }
}

TEST_F(FaultCli, UnwritableFolderIsReportedAndNothingIsWritten) {
  for (int f = 1; f <= 2; ++f) WritePng(dir_ / Frame("in/shot", f), f);
  Spill(dir_ / "locked/frame.0001.png", "earlier content");
  Spill(dir_ / "blocker", "a file where a folder should be");
  fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec |
                                       fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
  // Root ignores folder permissions: run as nobody where they matter.
  RunOptions as_nobody;
  if (::geteuid() == 0) as_nobody.user = kNobody;
  struct Case {
    const char* output;
    const char* message;
    RunOptions options;
  };
  const Case cases[] = {
      // Writers run in parallel: either frame may be the one reported.
      {"locked/frame.#.png", "locked/frame.000", as_nobody},
      {"blocker/frame.#.png", "blocker", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    const Snapshot before = Snap(dir_);
    const RunResult r =
        RunCli({"stamp", "in/shot.#.png", "-o", c.output, "--clock", kClock, "-q"}, dir_, c.options);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(Changes(before, Snap(dir_)), "");
  }
}

// ---- files planted by others --------------------------------------------

// Links put where a run creates its files, by anyone who may write the
// output folder: the run never writes through them and leaves them be. The
// random part of a temporary name is fixed for the test so that it can be
// planted; a run's own PID is in the name, so the plant is made as that PID.
TEST_F(FaultCli, PlantedLinksAreNeverWrittenThrough) {
  const std::string nonce = "0123456789ab";
  {
    fs::create_directories(dir_ / "in");
    OIIO::ImageSpec spec(160, 120, 3, TypeDesc::HALF);
    spec.attribute("compression", "zip");
    std::vector<float> px(std::size_t(160) * 120 * 3, 0.25f);
    auto out = OIIO::ImageOutput::create((dir_ / "in/shot.0001.exr").string());
    ASSERT_TRUE(out && out->open((dir_ / "in/shot.0001.exr").string(), spec));
    ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, px.data()));
    ASSERT_TRUE(out->close());
  }
  const std::vector<std::string> render = {"render", "-o",     "o/f.#.png", "--frames",
                                           "1",      "--size", "64x36",     "-q"};
  const std::string tmp = ".lumatrice-tmp-" + lumatrice::TemporaryHostTag() + "-{pid}-" + nonce;
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string plant;  // "{pid}" becomes the run's PID
    bool hard_link;
    int status;
    const char* message;  // in stdout or stderr
  };
  const Case cases[] = {
      {"render temporary", render, "o/.f.0001" + tmp + ".png", false, 0, "rendered frame 1"},
      {"splice temporary",
       {"stamp", "../in/shot.#.exr", "-o", "o/f.#.exr", "--set", "Display Slate=off", "--clock",
        kClock, "-q"},
       "o/.f.0001" + tmp + ".exr", false, 0, "stamped frame 1"},
      {"lock a link", render, "o/.f.#.png.lumatrice-lock", false, 1,
       "o/.f.#.png.lumatrice-lock: cannot lock the output: the lock file is a symbolic link"},
      {"lock a hard link", render, "o/.f.#.png.lumatrice-lock", true, 1,
       "o/.f.#.png.lumatrice-lock: cannot lock the output: the lock file has other names"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = dir_ / c.what;
    Spill(dir / "victim.txt", "precious\n");
    fs::create_directories(dir / "o");
    RunOptions planted;
    planted.exe = LUMATRICE_HOOKED_EXE;
    planted.env = {{"LUMATRICE_TEMP_NONCE_FOR_TESTS", nonce}};
    std::string plant = c.plant;
    planted.in_child = [&] {
      const std::size_t at = plant.find("{pid}");
      if (at != std::string::npos) plant.replace(at, 5, std::to_string(::getpid()));
      if (c.hard_link ? ::link("victim.txt", plant.c_str()) : ::symlink("../victim.txt", plant.c_str()))
        ::_exit(125);
    };
    const RunResult r = RunCli(c.args, dir, planted);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
    EXPECT_EQ(Slurp(dir / "victim.txt"), "precious\n");
    // The plant stays as it was; nothing of the run's own is left beside it.
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir / "o")) {
      const std::string name = e.path().filename().string();
      if (e.is_symlink() || fs::hard_link_count(e.path()) > 1) {
        if (!c.hard_link) {
          EXPECT_EQ(fs::read_symlink(e.path()), "../victim.txt");
        }
        left.push_back("plant");
      } else if (lumatrice::IsTemporaryName(name)) {
        left.push_back(name);
      }
    }
    EXPECT_EQ(left, std::vector<std::string>{"plant"});
    const fs::path frame = dir / (c.args[0] == "stamp" ? "o/f.0001.exr" : "o/f.0001.png");
    EXPECT_EQ(fs::is_regular_file(fs::symlink_status(frame)), c.status == 0);
  }
}

// ---- plug-in modules ----------------------------------------------------

TEST_F(FaultCli, BadModulesAreRefusedByNameAndTheOthersLoad) {
  const fs::path plugins = dir_ / "plugins";
  fs::create_directories(plugins);
  for (const char* name : {"no_classdesc.dlv", "old_sdk.dlv", "unresolved.dlv"})
    fs::copy_file(fs::path(BAD_MODULE_DIR) / name, plugins / name);
  Spill(plugins / "text.dlv", "This is a text file, not a plug-in module.\n");
  const std::string real = Slurp(LUMATRICE_MODULE);
  Spill(plugins / "truncated.dlv", real.substr(0, real.size() / 2));

  const RunResult listed = RunCli({"--plugins", plugins.string(), "plugins"}, dir_);
  ASSERT_EQ(listed.status, 0) << listed.err;
  const auto refused_at = listed.out.find("refused:");
  ASSERT_NE(refused_at, std::string::npos) << listed.out;
  const std::string refused = listed.out.substr(refused_at);
  struct Case {
    const char* file;
    const char* reason;
  };
  const Case cases[] = {
      {"no_classdesc.dlv", "LibClassDesc"},
      {"old_sdk.dlv", "version"},
      {"unresolved.dlv", "LumatriceReliabilityNowhere"},
      {"text.dlv", ""},
      {"truncated.dlv", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const auto line_at = refused.find((plugins / c.file).string());
    ASSERT_NE(line_at, std::string::npos) << refused;
    const std::string line = refused.substr(line_at, refused.find('\n', line_at) - line_at);
    EXPECT_NE(line.find(c.reason), std::string::npos) << line;
  }
  // The program's own module still loads, and renders go on with it.
  EXPECT_NE(listed.out.find("Lumatrice.dlv"), std::string::npos);
  EXPECT_LT(listed.out.find("Lumatrice.dlv"), refused_at);
  const RunResult render = RunCli({"--plugins", plugins.string(), "render", "-o", "r/f.#.png",
                                   "--frames", "1-2", "--size", "96x64", "-q"},
                                  dir_);
  EXPECT_EQ(render.status, 0) << render.err;
  EXPECT_TRUE(fs::exists(dir_ / "r/f.0002.png"));
}

}  // namespace
