// Farm jobs through the built program against the one-node Slurm of
// scripts/local-slurm (SLURM_CONF set by ctest): a clean 40-frame stamp in
// four chunks, a chunk requeued and then cancelled while it runs and
// resubmitted, plans edited to run something else, a
// chunk that fails, the errors a wrangler meets before anything runs, a
// ProRes movie made of segments, and a Blender render in chunks (when
// Blender is installed).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

#include "plan.h"
#include "process.h"

namespace lumatrice::farm {
namespace {

// Passes for an ok Status, else fails with its message.
::testing::AssertionResult Ok(const Status& s) {
  if (s) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << s.message();
}


namespace fs = std::filesystem;
const fs::path kWork = FARM_WORK;
constexpr const char* kClock = "2026-12-07T09:00:00";

// `exe`: LUMATRICE_HOOKED_EXE for the test copy, which honours the test hooks.
ProcessResult Lumatrice(std::vector<std::string> args, std::map<std::string, std::string> env = {},
                        const char* exe = LUMATRICE_EXE) {
  args.insert(args.begin(), exe);
  ProcessOptions options;
  options.env = std::move(env);
  return RunProcess(args, options);
}

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string Frame(const fs::path& dir, int f) {
  char name[32];
  std::snprintf(name, sizeof name, "f.%04d.png", f);
  return (dir / name).string();
}

class FarmSlurm : public ::testing::Test {
 protected:
  // 40 plain frames and their stamp by one local run with the clock pinned.
  static void SetUpTestSuite() {
    ::umask(022);  // the farm refuses plans in folders others may write
    fs::remove_all(kWork);
    fs::create_directories(kWork);
    const std::string scene = (kWork / "empty.json").string();
    ASSERT_EQ(Lumatrice({"scene", "new", scene, "--empty"}).status, 0);
    ASSERT_EQ(Lumatrice({"render", scene, "--frames", "1-40", "--size", "160x90", "-o",
                         (kWork / "in/f.#.png").string(), "-q"})
                  .status,
              0);
    const auto r = Lumatrice({"stamp", (kWork / "in/f.#.png").string(), "-o",
                              (kWork / "local/f.#.png").string(), "--clock", kClock, "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  void SetUp() override {
    dir_ = kWork / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(dir_);
  }

  std::vector<std::string> Submit(const std::string& in, const std::string& out,
                                  std::vector<std::string> farm_options) {
    std::vector<std::string> args{"farm", "submit", "--chunk", "10"};
    args.insert(args.end(), farm_options.begin(), farm_options.end());
    args.insert(args.end(), {"--", "stamp", in, "-o", out, "--clock", kClock});
    return args;
  }

  void ExpectSameAsLocal(const fs::path& out) {
    for (int f = 1; f <= 40; ++f)
      ASSERT_EQ(Slurp(Frame(out, f)), Slurp(Frame(kWork / "local", f))) << "frame " << f;
  }

  fs::path dir_;
};

TEST_F(FarmSlurm, FortyFramesInFourChunksMatchOneLocalRun) {
  const fs::path out = dir_ / "out";
  const auto r = Lumatrice(Submit((kWork / "in/f.#.png").string(), (out / "f.#.png").string(),
                                  {"--wait"}));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  ExpectSameAsLocal(out);
  Plan plan;
  ASSERT_TRUE(Ok(LoadPlan((out / "f.farm.json").string(), plan)));
  ASSERT_EQ(plan.chunks.size(), 4u);
  nlohmann::json report;
  ASSERT_TRUE(Ok(ReadJsonFile(plan.ReportFile(), report)));
  EXPECT_EQ(report["frames"]["total"], 40);
  EXPECT_EQ(report["frames"]["stamped"], 40);
  EXPECT_EQ(report["verify"]["passed"], true);
  for (const auto& c : report["chunks"]) {
    EXPECT_EQ(c["state"], "done");
    EXPECT_FALSE(c["node"].get<std::string>().empty());
  }
  EXPECT_NE(r.out.find("40 of 40 frames stamped, verify passed"), std::string::npos) << r.out;
}

TEST_F(FarmSlurm, CancelledChunkIsResubmittedAloneAndMatches) {
  // The plan records the program that made it: every step runs the test copy.
  auto Hooked = [](std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    return Lumatrice(std::move(args), std::move(env), LUMATRICE_HOOKED_EXE);
  };
  const fs::path out = dir_ / "out", hold = dir_ / "hold";
  fs::create_directories(hold);
  ASSERT_EQ(::mkfifo((hold / "chunk-1").c_str(), 0600), 0);
  const auto r = Hooked(Submit((kWork / "in/f.#.png").string(), (out / "f.#.png").string(), {}),
                        {{"LUMATRICE_FARM_HOLD", hold.string()}});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  Plan plan;
  ASSERT_TRUE(Ok(LoadPlan((out / "f.farm.json").string(), plan)));
  const std::string first_job = plan.chunks[0].job, held_job = plan.chunks[1].job;

  // Opens once chunk 1's task is running and waiting on the other end.
  const int gate = ::open((hold / "chunk-1").c_str(), O_WRONLY);
  ASSERT_GE(gate, 0);
  // As after a node crash, Slurm kills the running task and queues it again.
  // Held, so that it does not run 120 s later (Slurm's delay for requeued
  // jobs) while the test goes on.
  ASSERT_EQ(RunProcess({"scontrol", "requeuehold", held_job}).status, 0);
  const auto requeued = Hooked({"farm", "resubmit", plan.path});
  EXPECT_NE(requeued.status, 0);
  EXPECT_NE(requeued.err.find("still queued or running"), std::string::npos) << requeued.err;
  const auto queued = Hooked({"farm", "status", plan.path});
  EXPECT_TRUE(std::regex_search(queued.out, std::regex("chunk 1 +frames 11-20 +(pending|running)")))
      << queued.out;
  // A task the plan does not expect for the chunk neither runs nor records.
  const std::string record = Slurp(plan.ChunkRecord(1));
  const auto stale = Hooked({"farm", "run-chunk", plan.path},
                               {{"SLURM_ARRAY_JOB_ID", "999999"}, {"SLURM_ARRAY_TASK_ID", "1"}});
  EXPECT_NE(stale.status, 0);
  EXPECT_NE(stale.err.find("stale task: nothing run"), std::string::npos) << stale.err;
  EXPECT_EQ(Slurp(plan.ChunkRecord(1)), record);
  ASSERT_EQ(RunProcess({"scancel", held_job}).status, 0);
  const auto waited = Hooked({"farm", "status", "--wait", plan.path});
  ::close(gate);
  EXPECT_NE(waited.status, 0);
  EXPECT_NE(waited.err.find("chunk 1 (frames 11-20) cancelled"), std::string::npos) << waited.err;
  const auto status = Hooked({"farm", "status", plan.path});
  EXPECT_TRUE(std::regex_search(status.out, std::regex("chunk 1 +frames 11-20 +cancelled")))
      << status.out;

  const auto again = Hooked({"farm", "resubmit", "--wait", plan.path});
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  ASSERT_TRUE(Ok(LoadPlan(plan.path, plan)));
  EXPECT_EQ(plan.chunks[0].job, first_job);  // only the cancelled chunk ran again
  EXPECT_NE(plan.chunks[1].job, held_job);
  ExpectSameAsLocal(out);
  for (const auto& e : fs::directory_iterator(out)) {
    const std::string name = e.path().filename().string();
    // The frames, the plan and its folder, and the output lock's note.
    EXPECT_TRUE(std::regex_match(
        name, std::regex(R"(f\.\d{4}\.png|f\.farm\.json|f\.farm|\..*\.lumatrice-lock)")))
        << "left behind: " << name;
  }
}

// The output given attached (-oPATH), then the plan edited the ways that
// would run something else, each refused by the resubmit, the chunk and the
// report with nothing run; and the status of eleven chunks lines up.
TEST_F(FarmSlurm, AttachedOutputAndEditedPlansRefused) {
  const fs::path out = dir_ / "out";
  const auto r = Lumatrice({"farm", "submit", "--chunk", "1", "--wait", "--", "stamp",
                            (kWork / "in/f.#.png").string(), "--frames", "1-2",
                            "-o" + (out / "f.#.png").string(), "--clock", kClock});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("2 of 2 frames stamped, verify passed"), std::string::npos) << r.out;
  const std::string plan_path = (out / "f.farm.json").string();
  Plan plan;
  ASSERT_TRUE(Ok(LoadPlan(plan_path, plan)));
  EXPECT_EQ(plan.output, (out / "f.#.png").string());

  // Eleven chunks the chunk records call done.
  Plan eleven = plan;
  eleven.path = (dir_ / "eleven.farm.json").string();
  eleven.state_dir = (dir_ / "eleven.farm").string();
  eleven.report_job.clear();
  eleven.chunks.clear();
  fs::create_directories(eleven.state_dir);
  for (int i = 0; i < 11; ++i) {
    eleven.chunks.push_back(Chunk{i, {i + 1}, {}, ""});
    ASSERT_TRUE(Ok(WriteJsonFile(eleven.ChunkRecord(i), {{"job", ""}, {"status", 0}})));
  }
  MakeCommands(eleven);
  ASSERT_TRUE(Ok(SavePlan(eleven)));
  const auto status = Lumatrice({"farm", "status", eleven.path});
  std::smatch m9, m10;
  ASSERT_TRUE(std::regex_search(status.out, m9, std::regex(R"(\n( +chunk 9 +frames 10 +)done)")))
      << status.out;
  ASSERT_TRUE(std::regex_search(status.out, m10, std::regex(R"(\n( +chunk 10 +frames 11 +)done)")))
      << status.out;
  EXPECT_EQ(m9[1].length(), m10[1].length()) << status.out;

  const std::string pristine = Slurp(plan_path);
  const fs::path canary = dir_ / "CANARY", fake = dir_ / "fake-lumatrice";
  std::ofstream(canary) << "alive";
  std::ofstream(fake) << "#!/bin/sh\nrm -f " << canary.string() << "\n";
  fs::permissions(fake, fs::perms::owner_all);
  struct stat fake_st {};
  ASSERT_EQ(::stat(fake.c_str(), &fake_st), 0);
  const nlohmann::json rm = {"/bin/rm", "-f", canary.string()};
  // Each through the command that would run what the edit put there.
  struct Row {
    const char* what;
    std::function<void(nlohmann::json&)> edit;
    std::vector<std::string> command;
    const char* message;
  } rows[] = {
      {"command", [&](nlohmann::json& j) { j["chunks"][1]["command"] = rm; },
       {"farm", "resubmit", "--wait", plan_path},
       "chunks[1].command is not the command its fields make"},
      {"verify", [&](nlohmann::json& j) { j["verify"] = rm; }, {"farm", "report", plan_path},
       "verify is not the command its fields make"},
      {"environment", [&](nlohmann::json& j) { j["env"]["LD_PRELOAD"] = fake.string(); },
       {"farm", "run-chunk", plan_path, "1"}, "env holds variables"},
      {"program swapped",
       [&](nlohmann::json& j) {
         j["lumatrice"] = {{"path", fake.string()}, {"size", fake_st.st_size},
                           {"mtime_ns", fake_st.st_mtim.tv_sec * 1000000000LL +
                                            fake_st.st_mtim.tv_nsec}};
         for (auto& c : j["chunks"]) c["command"][0] = fake.string();
         j["verify"][0] = fake.string();
       },
       {"farm", "resubmit", "--wait", plan_path}, "records the program"},
      {"group-writable", nullptr, {"farm", "run-chunk", plan_path, "1"},
       "group or others may write it"},
  };
  for (const Row& row : rows) {
    nlohmann::json j = nlohmann::json::parse(pristine);
    if (row.edit) row.edit(j);
    fs::remove(plan_path);
    std::ofstream(plan_path) << j.dump(1);
    fs::permissions(plan_path, row.edit ? fs::perms(0644) : fs::perms(0664));
    const auto refused = Lumatrice(row.command);
    EXPECT_NE(refused.status, 0) << row.what;
    EXPECT_NE(refused.err.find(row.message), std::string::npos) << row.what << ": " << refused.err;
    EXPECT_NE(refused.err.find("refused"), std::string::npos) << row.what << ": " << refused.err;
    EXPECT_TRUE(fs::exists(canary)) << row.what;
  }
}

TEST_F(FarmSlurm, FailedChunkStopsTheReportAndIsNamed) {
  const fs::path in = dir_ / "in", out = dir_ / "out";
  fs::copy(kWork / "in", in);
  // The header still reads, so the submit's dry run passes; the pixels do not.
  const std::string whole = Slurp(Frame(in, 25));
  std::ofstream(Frame(in, 25), std::ios::binary | std::ios::trunc) << whole.substr(0, 200);
  const auto r = Lumatrice(Submit((in / "f.#.png").string(), (out / "f.#.png").string(), {"--wait"}));
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("chunk 2 (frames 21-30) failed"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("f.0025.png"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(out / "f.farm/report.json"));
  const auto status = Lumatrice({"farm", "status", (out / "f.farm.json").string()});
  EXPECT_NE(status.out.find(": CANCELLED"), std::string::npos) << status.out;
}

TEST_F(FarmSlurm, ErrorsBeforeAnythingRuns) {
  const std::string in = (kWork / "in/f.#.png").string();
  const std::string conf = std::getenv("SLURM_CONF");
  // A controller nobody listens for.
  const fs::path dead = dir_ / "dead.conf";
  std::string text = std::regex_replace(Slurp(conf), std::regex("SlurmctldPort=\\d+"),
                                        "SlurmctldPort=1");
  std::ofstream(dead) << text << "MessageTimeout=1\n";
  std::ofstream(dir_ / "damaged.farm.json") << R"({"lumatrice_farm_plan": 1, "name": )";
  // Another job's plan already writes frame 2 of shared/.
  Plan other;
  other.name = "a";
  other.path = (dir_ / "shared/a.farm.json").string();
  other.kind = "stamp";
  other.files = {Frame(dir_ / "shared", 2)};
  other.written = {2};
  other.chunks = {Chunk{0, {2}, {LUMATRICE_EXE, "stamp"}, ""}};
  fs::create_directories(dir_ / "shared");
  ASSERT_TRUE(Ok(SavePlan(other)));

  struct Row {
    const char* what;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    const char* message;
  } rows[] = {
      {"no client", Submit(in, (dir_ / "o1/f.#.png").string(), {}), {{"PATH", "/nonexistent"}},
       "no Slurm client on PATH"},
      {"unreachable", Submit(in, (dir_ / "o2/f.#.png").string(), {}),
       {{"SLURM_CONF", dead.string()}}, "Slurm controller cannot be reached"},
      {"rejected", Submit(in, (dir_ / "o3/f.#.png").string(), {"--partition", "nope"}), {},
       "Invalid partition name"},
      {"missing plan", {"farm", "status", (dir_ / "none.farm.json").string()}, {},
       "no such file"},
      {"damaged plan", {"farm", "resubmit", (dir_ / "damaged.farm.json").string()}, {},
       "damaged"},
      {"shared output", Submit(in, (dir_ / "shared/f.#.png").string(), {"--name", "b"}), {},
       "is also written by farm job \"a\""},
  };
  for (const Row& row : rows) {
    const auto r = Lumatrice(row.args, row.env);
    EXPECT_NE(r.status, 0) << row.what;
    EXPECT_NE(r.err.find(row.message), std::string::npos) << row.what << ": " << r.err;
  }
  // Nothing was planned for the refused submissions.
  EXPECT_FALSE(fs::exists(dir_ / "o3/f.farm.json"));
  EXPECT_FALSE(fs::exists(dir_ / "shared/b.farm.json"));
}

// Every picture's checksum as ffmpeg decodes it, and ffprobe's count and timecode.
std::string DecodedFrames(const fs::path& movie) {
  const auto r = RunProcess({"ffmpeg", "-v", "error", "-i", movie.string(), "-map", "0:v",
                             "-f", "framemd5", "-"});
  std::string lines;
  for (std::size_t at = 0; at < r.out.size();) {
    const std::size_t end = std::min(r.out.find('\n', at), r.out.size());
    if (r.out[at] != '#') lines += r.out.substr(at, end - at + 1);
    at = end + 1;
  }
  return lines;
}

std::string Probed(const fs::path& movie) {
  return RunProcess({"ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0",
                     "-show_entries", "stream=codec_name,profile,nb_read_packets:stream_tags=timecode",
                     "-of", "compact", movie.string()})
      .out;
}

// Six frames in chunks of two: each chunk writes a segment, the report joins
// them (ProRes by stream copy, H.264 by encoding the lossless segments) into
// the movie a one-machine run makes, picture for picture; a missing or cut
// segment fails the join naming its chunk, and no movie appears under the
// output name.
TEST_F(FarmSlurm, MovieFromSegmentsMatchesOneLocalMovie) {
  const std::string in = (kWork / "in/f.#.png").string();
  const fs::path movie = dir_ / "out/prores-review.mov";
  for (const std::vector<std::string> codec :
       {std::vector<std::string>{"--codec", "prores"}, {"--codec", "h264", "--crf", "30"}}) {
    const std::string ext = codec[1] == "h264" ? ".mp4" : ".mov";
    const fs::path local = dir_ / ("local" + ext), farmed = dir_ / "out" / (codec[1] + "-review" + ext);
    std::vector<std::string> run{in, "--frames", "3-8", "--clock", kClock};
    run.insert(run.end(), codec.begin(), codec.end());
    std::vector<std::string> one{"stamp", "-o", local.string(), "-q"};
    one.insert(one.begin() + 1, run.begin(), run.end());
    ASSERT_EQ(Lumatrice(one).status, 0);
    std::vector<std::string> farm{"farm", "submit", "--chunk", "2", "--wait", "--", "stamp",
                                  "-o", farmed.string()};
    farm.insert(farm.end() - 2, run.begin(), run.end());
    const auto r = Lumatrice(farm);
    ASSERT_EQ(r.status, 0) << codec[1] << ": " << r.out << r.err;
    EXPECT_NE(r.out.find("6 of 6 frames stamped, verify passed"), std::string::npos) << r.out;
    const std::string decoded = DecodedFrames(local);
    ASSERT_EQ(std::count(decoded.begin(), decoded.end(), '\n'), 6) << decoded;
    EXPECT_EQ(DecodedFrames(farmed), decoded) << codec[1];
    EXPECT_EQ(Probed(farmed), Probed(local)) << codec[1];
    EXPECT_NE(Probed(farmed).find("nb_read_packets=6|tag:timecode=00:00:00:03"),
              std::string::npos)
        << Probed(farmed);
  }

  const std::string plan = (dir_ / "out/prores-review.farm.json").string();
  const fs::path segment = dir_ / "out/prores-review.farm/segment-1.mov",
                 kept = dir_ / "segment-1.mov";
  fs::rename(movie, dir_ / "joined.mov");
  fs::copy_file(segment, kept);
  struct Row {
    const char* what;
    std::function<void()> spoil;
  } rows[] = {
      {"missing", [&] { fs::remove(segment); }},
      {"cut short", [&] { fs::resize_file(segment, fs::file_size(segment) / 2); }},
  };
  for (const Row& row : rows) {
    fs::remove(segment);
    fs::copy_file(kept, segment);
    row.spoil();
    const auto report = Lumatrice({"farm", "report", plan});
    EXPECT_NE(report.status, 0) << row.what;
    EXPECT_NE(report.err.find("segment of chunk 1 (frames 5-6)"), std::string::npos)
        << row.what << ": " << report.err;
    EXPECT_FALSE(fs::exists(movie)) << row.what;
    for (const auto& e : fs::directory_iterator(movie.parent_path()))
      EXPECT_EQ(e.path().filename().string().find(".prores-review"), std::string::npos)
          << row.what << " left " << e.path();
  }
}

// A PNG's chunks, of its text only the stamp marker: Blender records its
// render date and times there.
std::vector<std::string> PngChunks(const std::string& file) {
  const std::string d = Slurp(file);
  std::vector<std::string> out;
  for (std::size_t at = 8; at + 12 <= d.size();) {
    const std::size_t n = (std::size_t((unsigned char)d[at]) << 24) |
                          (std::size_t((unsigned char)d[at + 1]) << 16) |
                          (std::size_t((unsigned char)d[at + 2]) << 8) | (unsigned char)d[at + 3];
    const std::string chunk = d.substr(at + 4, n + 4);
    if (chunk.rfind("tEXt", 0) != 0 || chunk.rfind("tEXtLumatrice:", 0) == 0)
      out.push_back(chunk);
    at += n + 12;
  }
  return out;
}

TEST_F(FarmSlurm, BlenderChunksMatchOneBlenderRun) {
  const std::string blender = FARM_BLENDER;
  if (blender.empty()) GTEST_SKIP() << "no Blender";
  const fs::path blend = dir_ / "shot.blend";
  const std::string make_scene =
      "import bpy\n"
      "bpy.ops.wm.read_factory_settings(use_empty=True)\n"
      "s = bpy.context.scene\n"
      "bpy.ops.mesh.primitive_cube_add()\n"
      "bpy.ops.object.light_add(type='SUN', location=(2, -2, 4))\n"
      "bpy.ops.object.camera_add(location=(4, -4, 3), rotation=(1.1, 0, 0.785))\n"
      "s.camera = bpy.context.object\n"
      "s.render.engine = 'CYCLES'\n"
      "s.cycles.samples = 1\n"
      "s.cycles.use_denoising = False\n"
      "s.render.threads_mode = 'FIXED'\n"
      "s.render.threads = 1\n"
      "s.render.resolution_x, s.render.resolution_y = 96, 64\n"
      "s.render.resolution_percentage = 100\n"
      "s.frame_start, s.frame_end = 1, 4\n"
      "s.render.filepath = '//out/f_####'\n"
      "s.render.image_settings.file_format = 'PNG'\n"
      "import sys\n"
      "bpy.ops.wm.save_as_mainfile(filepath=sys.argv[-1])\n";
  ASSERT_EQ(RunProcess({blender, "-b", "--factory-startup", "--python-expr", make_scene, "--",
                        blend.string()})
                .status,
            0);
  const std::map<std::string, std::string> clock{{"LUMATRICE_CLOCK", kClock}};
  const auto r = Lumatrice({"farm", "submit", "--chunk", "2", "--wait", "--", "blender",
                            blend.string()},
                           clock);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("4 of 4 frames stamped, verify passed"), std::string::npos) << r.out;
  Plan plan;
  ASSERT_TRUE(Ok(LoadPlan((dir_ / "out/f.farm.json").string(), plan)));
  ASSERT_EQ(plan.chunks.size(), 2u);

  // One Blender run over 1-4 with the add-on and the same clock.
  ProcessOptions one;
  one.env = {{"LUMATRICE_CLOCK", kClock},
             {"BLENDER_USER_SCRIPTS", plan.env.at("BLENDER_USER_SCRIPTS")}};
  ASSERT_EQ(RunProcess({blender, "-b", blend.string(), "--addons", "lumatrice_blender", "-o",
                        "//local/f_####", "-a"},
                       one)
                .status,
            0);
  for (int f = 1; f <= 4; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "f_%04d.png", f);
    const auto local = PngChunks((dir_ / "local" / name).string());
    ASSERT_GT(local.size(), 2u) << name;
    EXPECT_EQ(PngChunks((dir_ / "out" / name).string()), local) << name;
  }
}

}  // namespace
}  // namespace lumatrice::farm
