// Movies out of and into the built lumatrice program, read back with the
// ffmpeg and ffprobe programs as an independent decoder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_runner.h"
#include "output_lock.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;
using clitest::RunResult;

namespace {

constexpr const char* kClock = "2002-03-07T09:05:03";

// Standard output of a shell command made of the test's own fixed words.
std::string Capture(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, p)) > 0;) out.append(chunk, n);
  ::pclose(p);
  return out;
}

std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// ffprobe's key=value lines of the picture stream (frames counted by decoding).
std::map<std::string, std::string> Probe(const fs::path& movie) {
  const std::string text =
      Capture(std::string(FFPROBE) + " -v error -count_frames -select_streams v:0 "
              "-show_entries stream=codec_name,profile,pix_fmt,r_frame_rate,nb_read_frames,"
              "width,height:stream_tags=timecode:format_tags=timecode -of default=nw=1 " +
              Quoted(movie));
  std::map<std::string, std::string> fields;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, end - at);
    if (const std::size_t eq = line.find('='); eq != std::string::npos)
      fields[line.substr(0, eq)] = line.substr(eq + 1);
    at = end + 1;
  }
  return fields;
}

// Every picture as 8-bit RGB, decoded with the BT.709 matrix the movie is tagged with.
std::string DecodeRgb(const fs::path& movie) {
  return Capture(std::string(FFMPEG) + " -v error -i " + Quoted(movie) +
                 " -vf scale=in_color_matrix=bt709:in_range=tv -f rawvideo -pix_fmt rgb24 -");
}

std::string AudioMd5(const fs::path& movie) {
  return Capture(std::string(FFMPEG) + " -v error -i " + Quoted(movie) +
                 " -map 0:a -c copy -f md5 -");
}

struct Box {
  int left = 0, top = 0, right = 0, bottom = 0;
  bool Has(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
};

std::vector<Box> VisibleBoxes(const Json& frame) {
  std::vector<Box> boxes;
  for (const Json& e : frame["effects"])
    for (const Json& l : e["lines"])
      if (!l["visible"].is_null())
        boxes.push_back({l["visible"]["left"].get<int>(), l["visible"]["top"].get<int>(),
                         l["visible"]["right"].get<int>(), l["visible"]["bottom"].get<int>()});
  return boxes;
}

class Movie : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = clitest::FreshDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }
  RunResult Run(const std::vector<std::string>& args, const clitest::RunOptions& o = {}) {
    return clitest::RunCli(args, dir_, o);
  }
  // ffmpeg run in the test's folder with the given arguments.
  void Ffmpeg(const std::string& args) {
    ASSERT_EQ(std::system(("cd " + Quoted(dir_) + " && " + FFMPEG + " -v error -y " + args).c_str()), 0)
        << args;
  }
  // Names in the folder other than output locks: a temporary left behind shows here.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_))
      if (!lumatrice::OutputLock::IsLockName(e.path().filename()))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path dir_;
};

int At(const std::string& rgb, int w, int h, int frame, int x, int y, int c) {
  return static_cast<unsigned char>(rgb[((std::size_t(frame) * h + y) * w + x) * 3 + c]);
}

TEST_F(Movie, SequenceToProResReadsBackStamped) {
  constexpr int w = 320, h = 240, n = 6;
  Ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=24 -frames:v 6 -start_number 1001 in.%04d.png");
  ASSERT_EQ(Run({"scene", "new", "empty.json", "--empty"}).status, 0);
  const RunResult r = Run({"stamp", "in.#.png", "-o", "review.mov", "--fps", "24000/1001",
                           "--clock", kClock, "--manifest", "m.json", "--set", "Comments=mov"});
  ASSERT_EQ(r.status, 0) << r.err;
  const RunResult plain =
      Run({"stamp", "in.#.png", "empty.json", "-o", "plain.mov", "--fps", "24000/1001"});
  ASSERT_EQ(plain.status, 0) << plain.err;

  const auto p = Probe(dir_ / "review.mov");
  EXPECT_EQ(p.at("codec_name"), "prores");
  EXPECT_EQ(p.at("profile"), "HQ");
  EXPECT_EQ(p.at("pix_fmt"), "yuv422p10le");
  EXPECT_EQ(p.at("r_frame_rate"), "24000/1001");
  EXPECT_EQ(p.at("nb_read_frames"), std::to_string(n));
  // Frame 1001 at 24 whole frames a second.
  EXPECT_EQ(p.at("TAG:timecode"), "00:00:41:17");

  const std::string rgb = DecodeRgb(dir_ / "review.mov"), bare = DecodeRgb(dir_ / "plain.mov");
  ASSERT_EQ(rgb.size(), std::size_t(w) * h * 3 * n);
  ASSERT_EQ(bare.size(), rgb.size());
  const Json manifest = Json::parse(clitest::Slurp(dir_ / "m.json"));
  const Json& frames = manifest["frames"];
  ASSERT_EQ(frames.size(), std::size_t(n));
  // The slate's background grey 0x40, within the codec's rounding.
  int slate_grey = 0, outside = 0;
  const std::vector<Box> slate = VisibleBoxes(frames[0]);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      if (std::any_of(slate.begin(), slate.end(), [&](const Box& b) { return b.Has(x, y); }))
        continue;
      ++outside;
      slate_grey += std::abs(At(rgb, w, h, 0, x, y, 1) - 0x40) <= 2;
    }
  EXPECT_GT(slate_grey, outside * 97 / 100);
  // Frame 2's caption boxes: box grey 0x3C or glyph white.
  const std::vector<Box> boxes = VisibleBoxes(frames[1]);
  ASSERT_FALSE(boxes.empty());
  int in_box = 0, caption_colour = 0;
  for (const Box& b : boxes)
    for (int y = b.top; y < b.bottom; ++y)
      for (int x = b.left; x < b.right; ++x, ++in_box) {
        const int g = At(rgb, w, h, 1, x, y, 1);
        caption_colour += std::abs(g - 0x3C) <= 6 || g >= 0xF0;
      }
  EXPECT_GT(caption_colour, in_box * 9 / 10);
  // Away from the 16-row blocks the captions touch, the pictures are those
  // of the movie made without captions, to one code value.
  for (int f = 1; f < n; ++f) {
    std::vector<bool> touched(h, false);
    for (const Box& b : VisibleBoxes(frames[f]))
      for (int y = b.top / 16 * 16; y < std::min(h, (b.bottom + 15) / 16 * 16); ++y)
        touched[y] = true;
    int worst = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w && !touched[y]; ++x)
        for (int c = 0; c < 3; ++c)
          worst = std::max(worst, std::abs(At(rgb, w, h, f, x, y, c) - At(bare, w, h, f, x, y, c)));
    EXPECT_LE(worst, 1) << "frame " << f + 1;
  }
  const RunResult v = Run({"verify", "review.mov"});
  EXPECT_EQ(v.status, 0) << v.out << v.err;
  EXPECT_EQ(Run({"verify", "plain.mov"}).status, 3);
  for (const std::string& name : Files())
    EXPECT_TRUE(name.find("lumatrice-tmp") == std::string::npos) << name;
}

TEST_F(Movie, MovieInputKeepsItsSoundAndTimecode) {
  Ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
         "-frames:v 10 -t 0.4 -c:v libx264 -pix_fmt yuv420p -c:a pcm_s16le "
         "-timecode 01:00:00:00 plate.mov");
  const RunResult r = Run({"stamp", "plate.mov", "-o", "review.mov", "--codec", "h264", "--clock",
                           kClock, "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto p = Probe(dir_ / "review.mov");
  EXPECT_EQ(p.at("codec_name"), "h264");
  EXPECT_EQ(p.at("profile"), "High");
  EXPECT_EQ(p.at("pix_fmt"), "yuv420p");
  EXPECT_EQ(p.at("r_frame_rate"), "25/1");
  EXPECT_EQ(p.at("nb_read_frames"), "10");
  EXPECT_EQ(p.at("TAG:timecode"), "01:00:00:00");
  const std::string sound = AudioMd5(dir_ / "plate.mov");
  EXPECT_FALSE(sound.empty());
  EXPECT_EQ(AudioMd5(dir_ / "review.mov"), sound);
  // Restamping the stamped movie is refused; into frames it numbers from --render-start.
  const RunResult again = Run({"stamp", "review.mov", "-o", "again.mov"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("already carries captions"), std::string::npos) << again.err;
  const RunResult seq = Run({"stamp", "plate.mov", "-o", "out/f.#.png", "--render-start", "101",
                             "--slate", "prepend", "-q"});
  ASSERT_EQ(seq.status, 0) << seq.err;
  EXPECT_TRUE(fs::exists(dir_ / "out/f.0100.png"));
  EXPECT_TRUE(fs::exists(dir_ / "out/f.0110.png"));
  EXPECT_FALSE(fs::exists(dir_ / "out/f.0111.png"));
}

// Each container the codecs go into, as ffprobe decodes it.
TEST_F(Movie, ContainersHoldTheirCodecs) {
  Ffmpeg("-f lavfi -i testsrc2=size=256x144:rate=25 -frames:v 3 in.%04d.png");
  struct Case {
    std::vector<std::string> args;
    const char *codec, *profile, *pix_fmt;
  } const cases[] = {
      {{"-o", "r.mkv"}, "prores", "HQ", "yuv422p10le"},
      {{"-o", "r.mxf", "--codec", "dnxhr", "--profile", "sq"}, "dnxhd", "DNXHR SQ", "yuv422p"},
      {{"-o", "r.mov", "--codec", "dnxhr", "--profile", "hqx"}, "dnxhd", "DNXHR HQX",
       "yuv422p10le"},
      {{"-o", "r.mkv", "--codec", "h264", "--profile", "high444"}, "h264", "High 4:4:4 Predictive",
       "yuv444p"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"stamp", "in.#.png", "-q"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = Run(args);
    const std::string what = c.args[1] + " " + c.profile;
    ASSERT_EQ(r.status, 0) << what << ": " << r.err;
    const auto p = Probe(dir_ / c.args[1]);
    EXPECT_EQ(p.at("codec_name"), c.codec) << what;
    EXPECT_EQ(p.at("profile"), c.profile) << what;
    EXPECT_EQ(p.at("pix_fmt"), c.pix_fmt) << what;
    EXPECT_EQ(p.at("nb_read_frames"), "3") << what;
    fs::remove(dir_ / c.args[1]);
  }
}

// SIGTERM once the movie's trailer is written (the test copy stops there,
// before the rename): nothing under its name, no temporary left.
TEST_F(Movie, SigtermBeforeTheRenameLeavesNoMovie) {
  Ffmpeg("-f lavfi -i testsrc2=size=64x48:rate=25 -frames:v 3 in.%04d.png");
  clitest::RunOptions hooked;
  hooked.exe = LUMATRICE_HOOKED_EXE;
  hooked.env = {{"LUMATRICE_STOP_BEFORE_RENAME", "1"}};
  const pid_t pid = clitest::SpawnCli({"stamp", "in.#.png", "-o", "r.mov", "-q"}, dir_, hooked);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, WUNTRACED), pid);
  ASSERT_TRUE(WIFSTOPPED(status));
  const std::vector<std::string> stopped = Files();
  EXPECT_EQ(std::count_if(stopped.begin(), stopped.end(),
                          [](const std::string& n) { return n.find("lumatrice-tmp") != n.npos; }),
            1);
  ::kill(pid, SIGTERM);
  ::kill(pid, SIGCONT);
  const RunResult r = clitest::FinishCli(pid, dir_);
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_EQ(Files(), (std::vector<std::string>{"in.0001.png", "in.0002.png", "in.0003.png"}));
}

// Refusals that need movies made by ffmpeg; those of options alone are rows
// of the bad-input table.
TEST_F(Movie, BadMovieInputsGetAClearLineAndLeaveNoMovie) {
  Ffmpeg("-f lavfi -i testsrc2=size=64x48:rate=25 -frames:v 3 in.%04d.png");
  Ffmpeg("-f lavfi -i testsrc=size=65x49:rate=25 -frames:v 2 odd.%04d.png");
  Ffmpeg("-f lavfi -i testsrc2=size=64x48:rate=25 -frames:v 8 "
         "-vf setpts='if(lt(N\\,4)\\,N\\,N*2)/25/TB' -fps_mode passthrough vfr.mkv");
  // The second half of a 6-picture intra movie overwritten with noise: the
  // damage shows at picture 3.
  Ffmpeg("-f lavfi -i testsrc2=size=64x48:rate=25 -frames:v 6 -c:v mjpeg damaged.mkv");
  {
    std::string bytes = clitest::Slurp(dir_ / "damaged.mkv");
    for (std::size_t i = bytes.size() / 2; i < bytes.size() - 64; ++i) bytes[i] = char(i * 7919);
    clitest::Spill(dir_ / "damaged.mkv", bytes);
  }
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
    const char* left;  // what the run leaves under the output name ("" nothing)
  };
  const Case cases[] = {
      {{"stamp", "in.#.png", "-o", "r.mov", "--codec", "dnxhr"}, 1,
       "dnxhr needs frames of at least 256x120; these are 64x48", ""},
      {{"stamp", "vfr.mkv", "-o", "r.mov"}, 1, "has a variable frame rate", ""},
      {{"stamp", "damaged.mkv", "-o", "r.mov"}, 1, "input frame 3 (picture 3 of damaged.mkv)", ""},
      {{"stamp", "damaged.mkv", "-o", "r.#.png"}, 1, "input frame 3", "r.0002.png"},
      {{"stamp", "odd.#.png", "-o", "r.mov", "--codec", "h264"}, 0,
       "65x49 is odd for 4:2:0 h264; the movie is padded to 66x50", "r.mov"},
  };
  for (const Case& c : cases) {
    const RunResult r = Run(c.args);
    const std::string what = c.args[1] + " " + c.args[3];
    EXPECT_EQ(r.status, c.status) << what << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << what << ": " << r.err;
    std::vector<std::string> left;
    for (const std::string& name : Files())
      if (name.rfind("r.", 0) == 0 || name.find("lumatrice-tmp") != std::string::npos)
        left.push_back(name);
    EXPECT_EQ(left.empty() ? std::string() : left.back(), c.left) << what;
    for (const std::string& name : left) fs::remove(dir_ / name);
  }
  // A full disk: no movie under its name, the frame named.
  clitest::RunOptions small;
  small.file_size_limit = 4096;
  Ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 3 big.%04d.png");
  const RunResult full = Run({"stamp", "big.#.png", "-o", "r.mov"}, small);
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("cannot write frame"), std::string::npos) << full.err;
  for (const std::string& name : Files())
    EXPECT_TRUE(name.rfind("r.", 0) == std::string::npos &&
                name.find("lumatrice-tmp") == std::string::npos)
        << name;
}

}  // namespace
