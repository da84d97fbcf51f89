// A module that throws from one of the host's calls into it, through the
// built lumatrice program: the run stops with status 1 and one error line
// naming the module's file, the class and the call; frames finished before
// the throw are on disk as a run without the fault writes them, later ones
// are not, and no temporary file stays.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_runner.h"
#include "temp_files.h"

using namespace clitest;

namespace {

// Every run renders frames 1-4 with the slate on frame 2, so the pre-render
// notification comes after frame 1.
std::vector<std::string> RenderArgs(const fs::path& scene) {
  return {"--plugins", THROWING_MODULE_DIR, "render", scene.string(), "-o", "out/f.#.png",
          "--frames", "1-4", "--render-start", "2", "--size", "96x54",
          "--clock", "2002-03-07T09:05:03", "-q"};
}

RunResult RunWithFault(const std::string& fault, const std::vector<std::string>& args,
                       const fs::path& dir) {
  ::setenv("LUMATRICE_TEST_THROW", fault.c_str(), 1);
  RunResult r = RunCli(args, dir);
  ::unsetenv("LUMATRICE_TEST_THROW");
  return r;
}

TEST(PluginFaultCli, AThrowingModuleStopsTheRunNamingModuleClassAndCall) {
  const fs::path dir = FreshDir("plugin_fault");
  const fs::path scene = dir / "scene.json";
  ASSERT_EQ(RunCli({"scene", "new", scene.string()}, dir).status, 0);
  // The captions first, then the throwing effect.
  nlohmann::json doc = nlohmann::json::parse(Slurp(scene));
  doc["render_effects"].push_back({{"class_name", "Throwing Effect"},
                                   {"class_id", {"0x7e570001", "0x7e570002"}},
                                   {"superclass_id", "0x1090"},
                                   {"data_hex", ""}});
  Spill(scene, doc.dump(2));
  const std::string scene_bytes = Slurp(scene);

  const RunResult clean = RunWithFault("", RenderArgs(scene), dir);
  ASSERT_EQ(clean.status, 0) << clean.err;
  Snapshot reference = Snap(dir / "out");
  ASSERT_EQ(reference.size(), 4u);
  fs::remove_all(dir / "out");

  struct Case {
    std::string fault, message;
    std::vector<int> kept;  // frames written, as the clean run wrote them
  };
  const std::string who = "throwing_effect.dlv: Throwing Effect: ";
  const Case cases[] = {
      {"RenderBegin", who + "RenderBegin threw: test fault in RenderBegin", {}},
      {"Notify", who + "pre-render notification threw: test fault in Notify", {1}},
      {"Apply:3", who + "Apply threw: test fault in Apply", {1, 2}},
      {"Apply:3!", who + "Apply threw an exception that is not a std::exception", {1, 2}},
      {"RenderEnd", who + "RenderEnd threw: test fault in RenderEnd", {1, 2, 3, 4}},
      {"Load", "render_effects[1] (Throwing Effect): " + who + "Load threw: test fault in Load",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    const RunResult r = RunWithFault(c.fault, RenderArgs(scene), dir);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("lumatrice: error: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.message + "\n"), std::string::npos) << r.err;
    Snapshot expected;
    for (int f : c.kept) {
      const std::string name = "f.000" + std::to_string(f) + ".png";
      expected[name] = reference[name];
    }
    const Snapshot out = fs::exists(dir / "out") ? Snap(dir / "out") : Snapshot{};
    EXPECT_EQ(Changes(expected, out), "");
    for (const auto& [name, bytes] : out) EXPECT_FALSE(lumatrice::IsTemporaryName(name)) << name;
    fs::remove_all(dir / "out");
  }

  // A save the module breaks leaves the scene file as it was.
  const RunResult save =
      RunWithFault("Save", {"--plugins", THROWING_MODULE_DIR, "scene", "set", scene.string(),
                            "Comments=changed"},
                   dir);
  EXPECT_EQ(save.status, 1);
  EXPECT_NE(save.err.find(who + "Save threw: test fault in Save\n"), std::string::npos)
      << save.err;
  EXPECT_EQ(Slurp(scene), scene_bytes);
  if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

}  // namespace
