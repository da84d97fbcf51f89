// A stamp in place holds the output lock of its file's frame: the lock a run
// writing that sequence takes, so the two never write the file at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host_session.h"
#include "output_lock.h"
#include "stamp_file.h"

using namespace lumatrice;
namespace fs = std::filesystem;

TEST(StampFile, TakesTheLockOfItsFramesSequence) {
  struct Name {
    const char* file;
    const char* lock;
    int frame;
  } names[] = {
      {"d/f_0001.exr", "d/.f_#.exr.lumatrice-lock", 1},
      {"d/f_0042", "d/.f_#.lumatrice-lock", 42},
      {"d/v2/plate.exr", "d/v2/.plate.exr.lumatrice-lock", 0},
      {"d/50%@#_7.png", "d/.50____#.png.lumatrice-lock", 7},
  };
  for (const Name& n : names) {
    SequencePattern sequence;
    int frame = -1;
    OutputLockFor(n.file, sequence, frame);
    EXPECT_EQ(OutputLock::PathFor(sequence), n.lock) << n.file;
    EXPECT_EQ(frame, n.frame) << n.file;
  }

  HostSession host;
  host.LoadPlugins({});
  ClassDesc* cd = host.LumatriceClass();
  ASSERT_NE(cd, nullptr) << "Lumatrice.dlv beside the test";
  Scene scene;
  std::string error;
  ASSERT_TRUE(scene.AddEffect(cd, error)) << error;
  ASSERT_TRUE(ApplyParameterSets(scene, {"Display Footer=on", "Display Frames=on"}, std::nullopt,
                                 std::nullopt, error))
      << error;
  const MarkerSource marker(scene, {""});
  const fs::path dir = fs::path(::testing::TempDir()) / "stamp_lock";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string file = (dir / "f_0001.png").string();
  {
    OIIO::ImageSpec spec(64, 48, 3, OIIO::TypeDesc::UINT8);
    std::vector<unsigned char> px(64 * 48 * 3, 90);
    auto out = OIIO::ImageOutput::create(file);
    ASSERT_TRUE(out && out->open(file, spec) && out->write_image(OIIO::TypeDesc::UINT8, px.data()) &&
                out->close());
  }
  auto bytes = [&] {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  };
  const std::string before = bytes();
  // A run writing frames of f_####.png: frame 1 keeps the stamp out, frame 2 does not.
  for (const int held : {1, 2}) {
    SequencePattern run_output;
    ASSERT_TRUE(run_output.Parse((dir / "f_####.png").string(), error)) << error;
    OutputLock run;
    ASSERT_EQ(run.Acquire(run_output, {held}, false, nullptr, nullptr).message(), "");
    StampFileRequest request;
    request.path = file;
    request.scene = &scene;
    request.marker = &marker;
    request.apply = [](FrameBuffer&) {};
    FrameBuffer frame;
    const StampFileResult r = StampFileInPlace(request, frame);
    SCOPED_TRACE(held);
    if (held == 1) {
      EXPECT_EQ(r.status.kind(), StatusKind::kBusy);
      EXPECT_NE(r.status.message().find(file + ": output "), std::string::npos) << r.status.message();
      EXPECT_NE(r.status.message().find("is being written by another run"), std::string::npos) << r.status.message();
      EXPECT_TRUE(r.status.message().ends_with("; the file is left to it")) << r.status.message();
      EXPECT_EQ(bytes(), before);
    } else {
      EXPECT_TRUE(r.status.ok()) << r.status.message();
      EXPECT_TRUE(r.drawn);
      EXPECT_NE(bytes(), before);
    }
  }
}
