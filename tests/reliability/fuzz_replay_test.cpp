// Replays a fuzz target's seed corpus and every input it once failed on
// (fuzz/regressions/<target>/) through the target's own checks, as ordinary
// tests of the default build. Built once per target; FUZZ_TARGET names it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

std::vector<std::string> Inputs() {
  std::vector<std::string> files;
  for (const char* kind : {"corpus", "regressions"}) {
    const fs::path dir = fs::path(FUZZ_DIR) / kind / FUZZ_TARGET;
    if (!fs::is_directory(dir)) continue;
    for (const auto& e : fs::directory_iterator(dir))
      if (e.is_regular_file()) files.push_back(std::string(kind) + "/" + e.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class Replay : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() {
    if (LLVMFuzzerInitialize) {
      int argc = 0;
      char** argv = nullptr;
      LLVMFuzzerInitialize(&argc, &argv);
    }
  }
};

// A failed check aborts the whole binary, which fails the test loudly.
TEST_P(Replay, PassesTheTargetsChecks) {
  const fs::path path = fs::path(FUZZ_DIR) / fs::path(GetParam()).parent_path() / FUZZ_TARGET /
                        fs::path(GetParam()).filename();
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path;
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
            0);
}

INSTANTIATE_TEST_SUITE_P(Inputs, Replay, ::testing::ValuesIn(Inputs()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
