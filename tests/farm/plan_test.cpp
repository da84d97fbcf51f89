// Farm plans without a workload manager: chunks in frame order, the frame
// list form --frames reads, chunk commands that carry exactly one --frames,
// --render-start, --clock and -q whatever the command line held, damaged
// plans named by field, a movie's segments, and chunk states from records and Slurm's view.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "chunk_state.h"
#include "plan.h"

namespace lumatrice::farm {
namespace {

// Passes for an ok Status, else fails with its message.
::testing::AssertionResult Ok(const Status& s) {
  if (s) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << s.message();
}


TEST(FarmPlan, ChunksAndFrameLists) {
  const auto chunks = SplitFrames({5, 1, 2, 3, 4, 9, 7}, 3);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(FrameList(chunks[0]), "1-3");
  EXPECT_EQ(FrameList(chunks[1]), "4-5,7");
  EXPECT_EQ(FrameList(chunks[2]), "9");
}

// A movie's chunks each write a segment; a prepended slate (frame 2 before
// the render start 3) goes into the segment of the chunk after it.
TEST(FarmPlan, SegmentsOfAMovieWithAPrependedSlate) {
  Plan p;
  p.kind = "stamp";
  p.output = "out/review.MOV";
  p.state_dir = "/x/review.farm";
  p.written = {1, 2, 3, 4, 5, 6, 7};
  p.render_start = 3;
  for (const auto& frames : SplitFrames({1, 3, 4, 5, 6, 7}, 2))
    p.chunks.push_back(Chunk{int(p.chunks.size()), frames, {}, ""});
  ASSERT_TRUE(MoviePlan(p));
  EXPECT_EQ(SegmentFile(p, p.chunks[1]), "/x/review.farm/segment-1.MOV");
  EXPECT_EQ(SegmentPictures(p, p.chunks[0]), 3);  // 1, the slate 2, 3
  EXPECT_EQ(SegmentPictures(p, p.chunks[1]), 2);
  EXPECT_EQ(SegmentPictures(p, p.chunks[2]), 2);
  const auto cmd = ChunkArgv(p, p.chunks[1]);
  EXPECT_EQ(std::count(cmd.begin(), cmd.end(), "--farm-segment"), 1);
  p.movie.intra_only = false;
  EXPECT_EQ(SegmentFile(p, p.chunks[1]), "/x/review.farm/segment-1.mkv");
}

TEST(FarmPlan, ChunkCommandReplacesTheRunOptions) {
  struct Row {
    std::vector<std::string> args;
  } rows[] = {
      {{"in.#.png", "-o", "out.#.png"}},
      {{"in.#.png", "--frames", "1-99", "-o", "out.#.png", "--clock", "2001-01-01T00:00:00"}},
      {{"in.#.png", "--frames=1-99", "--render-start=7", "-q", "--clock=x", "-o", "out.#.png"}},
  };
  for (const Row& row : rows) {
    const auto cmd = ChunkCommand("/bin/lumatrice", {"--plugins", "/p"}, "stamp", row.args,
                                  {11, 12, 13}, 1, "2026-12-07T09:00:00");
    const std::vector<std::string> want{
        "/bin/lumatrice", "--plugins", "/p", "stamp", "in.#.png", "-o", "out.#.png",
        "--frames", "11-13", "--render-start", "1", "--clock", "2026-12-07T09:00:00", "-q"};
    EXPECT_EQ(cmd, want);
  }
}

Plan TwoChunks() {
  Plan p;
  p.name = "sh010";
  p.kind = "stamp";
  p.path = "/tmp/sh010.farm.json";
  p.state_dir = "/tmp/sh010.farm";
  p.lumatrice = Program{"/bin/lumatrice", 10, 20};
  p.output = "out/f.#.png";
  p.written = {1, 2, 3, 4, 6};
  p.chunks = {Chunk{0, {1, 2, 3}, {}, "12_0"}, Chunk{1, {4, 6}, {}, "12_1"}};
  p.engine = "slurm";
  MakeCommands(p);
  return p;
}

TEST(FarmPlan, JsonRoundTripAndDamageNamesTheField) {
  const Plan p = TwoChunks();
  Plan q;
  ASSERT_TRUE(Ok(PlanFromJson(PlanToJson(p), q)));
  EXPECT_EQ(q.chunks[1].frames, (std::vector<int>{4, 6}));
  EXPECT_EQ(q.chunks[1].job, "12_1");
  EXPECT_EQ(q.lumatrice.mtime_ns, 20);

  struct Row {
    const char* pointer;
    nlohmann::json value;  // null: the field is removed
    const char* message;
  } rows[] = {
      {"/chunks/1/frames", "9-4", "chunks[1].frames: bad frames 9-4"},
      {"/clock", nullptr, "clock: missing"},
      {"/render_start", "1", "render_start: type must be number, but is string"},
      {"/lumatrice/size", "big", "lumatrice.size: type must be number"},
      {"/kind", "sh", "kind: \"sh\" is not stamp, render or blender"},
  };
  for (const Row& row : rows) {
    nlohmann::json broken = PlanToJson(p);
    const nlohmann::json::json_pointer at(row.pointer);
    if (row.value.is_null())
      broken[at.parent_pointer()].erase(at.back());
    else
      broken[at] = row.value;
    const Status s = PlanFromJson(broken, q);
    EXPECT_FALSE(s) << row.pointer;
    EXPECT_NE(s.message().find(std::string("damaged: ") + row.message), std::string::npos)
        << row.pointer << ": " << s.message();
  }
}

// What a chunk's record and Slurm's view of its task make together.
TEST(FarmPlan, ChunkStateFromRecordAndSlurm) {
  namespace fs = std::filesystem;
  Plan p = TwoChunks();
  p.state_dir = ::testing::TempDir() + "farm-plan-state";
  fs::create_directories(p.state_dir);
  const auto record = [&](int status) {
    ASSERT_TRUE(Ok(WriteJsonFile(p.ChunkRecord(0), {{"job", "12_0"}, {"status", status}})));
  };
  struct Row {
    const char* what;
    int record;  // exit status recorded by the chunk's task; -1 none
    const char* slurm_state;  // nullptr: Slurm does not list the task
    bool array_known;
    ChunkState want;
    const char* error;
  } rows[] = {
      {"requeued after its run was killed", 143, "PENDING", true, ChunkState::kPending, ""},
      {"killed for its time limit", 143, "TIMEOUT", true, ChunkState::kFailed,
       "Slurm: TIMEOUT (TimeLimit)"},
      {"cancelled while it ran", 143, "CANCELLED", true, ChunkState::kCancelled, ""},
      {"cancelled before it started", -1, nullptr, true, ChunkState::kCancelled,
       "cancelled before it started"},
      {"forgotten by Slurm", -1, nullptr, false, ChunkState::kUnknown, "neither Slurm"},
      {"done", 0, "COMPLETED", true, ChunkState::kDone, ""},
  };
  for (const Row& row : rows) {
    std::error_code ec;
    fs::remove(p.ChunkRecord(0), ec);
    if (row.record >= 0) record(row.record);
    SlurmTask task{"12", 0, row.slurm_state ? row.slurm_state : "", "", "TimeLimit"};
    const ChunkStatus s =
        ChunkStatusOf(p, p.chunks[0], row.slurm_state ? &task : nullptr, row.array_known);
    EXPECT_EQ(s.state, row.want) << row.what;
    EXPECT_NE(s.error.find(row.error), std::string::npos) << row.what << ": " << s.error;
  }
}

}  // namespace
}  // namespace lumatrice::farm
