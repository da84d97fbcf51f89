// Farm plans without a workload manager: chunks in frame order, the frame
// list form --frames reads, and chunk commands that carry exactly one
// --frames, --render-start, --clock and -q whatever the command line held.
#include <gtest/gtest.h>

#include "plan.h"

namespace lumatrice::farm {
namespace {

TEST(FarmPlan, ChunksAndFrameLists) {
  const auto chunks = SplitFrames({5, 1, 2, 3, 4, 9, 7}, 3);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(FrameList(chunks[0]), "1-3");
  EXPECT_EQ(FrameList(chunks[1]), "4-5,7");
  EXPECT_EQ(FrameList(chunks[2]), "9");
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

TEST(FarmPlan, JsonRoundTripAndDamage) {
  Plan p;
  p.name = "sh010";
  p.kind = "stamp";
  p.chunks = {Chunk{0, {1, 2, 3}, {"/bin/lumatrice", "stamp"}, "12_0"},
              Chunk{1, {4, 6}, {"/bin/lumatrice", "stamp"}, "12_1"}};
  p.engine = "slurm";
  Plan q;
  std::string error;
  ASSERT_TRUE(PlanFromJson(PlanToJson(p), q, error)) << error;
  EXPECT_EQ(q.chunks[1].frames, (std::vector<int>{4, 6}));
  EXPECT_EQ(q.chunks[1].job, "12_1");

  nlohmann::json broken = PlanToJson(p);
  broken["chunks"][1]["frames"] = "9-4";
  EXPECT_FALSE(PlanFromJson(broken, q, error));
  broken = PlanToJson(p);
  broken.erase("clock");
  EXPECT_FALSE(PlanFromJson(broken, q, error));
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
}

}  // namespace
}  // namespace lumatrice::farm
