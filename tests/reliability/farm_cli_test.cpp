// What a render farm does to lumatrice runs, through the built program: a
// run killed with SIGKILL between a frame's write and its rename, a second
// run for the same output while the first still holds it, another output in
// the same folder, a run that waits for the lock and one cancelled while it
// waits. The killed run is stopped exactly there by its own hook
// (LUMATRICE_STOP_BEFORE_RENAME raises SIGSTOP), never by timing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include <string>
#include <vector>

#include "cli_runner.h"
#include "image_io.h"
#include "output_lock.h"

using namespace clitest;
using OIIO::TypeDesc;

namespace {

void WritePng(const fs::path& path, int seed) {
  fs::create_directories(path.parent_path());
  OIIO::ImageSpec spec(64, 48, 3, TypeDesc::UINT8);
  std::vector<unsigned char> px(64 * 48 * 3);
  for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<unsigned char>(i * 5 + seed);
  auto out = OIIO::ImageOutput::create(path.string());
  ASSERT_TRUE(out && out->open(path.string(), spec));
  ASSERT_TRUE(out->write_image(TypeDesc::UINT8, px.data()));
  ASSERT_TRUE(out->close());
}

// A run whose stderr comes back through a pipe, optionally with the hook.
struct Piped {
  pid_t pid = -1;
  int err = -1;
};

Piped SpawnPiped(const std::vector<std::string>& args, const fs::path& dir, bool stop_hook) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 2);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 1);
    ::close(fds[0]);
    ::close(fds[1]);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    if (stop_hook) ::setenv("LUMATRICE_STOP_BEFORE_RENAME", "1", 1);
    std::vector<char*> argv{const_cast<char*>(LUMATRICE_EXE)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(LUMATRICE_EXE, argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  return {pid, fds[0]};
}

// Reads the run's stderr until `want` appears (or the pipe closes).
std::string ReadUntil(int fd, const std::string& want) {
  std::string text;
  char buf[512];
  while (text.find(want) == std::string::npos) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, std::size_t(n));
  }
  return text;
}

std::vector<std::string> with_wait(std::vector<std::string> args) {
  args.push_back("--wait-lock");
  return args;
}

int Wait(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

std::vector<std::string> Temporaries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (lumatrice::IsTemporaryName(e.path().filename().string()))
      names.push_back(e.path().filename().string());
  return names;
}

TEST(FarmCli, KilledRunIsSweptAndTwoRunsNeverShareAnOutput) {
  const fs::path dir = FreshDir("farm");
  for (int f = 1; f <= 4; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "in/shot.%04d.png", f);
    WritePng(dir / name, f);
  }
  const std::vector<std::string> stamp = {"stamp", "in/shot.#.png", "-o", "out/f.#.png", "-q"};

  // A stops between its first frame's write and the rename, holding the lock.
  const Piped a = SpawnPiped(stamp, dir, true);
  int status = 0;
  ASSERT_EQ(::waitpid(a.pid, &status, WUNTRACED), a.pid);
  ASSERT_TRUE(WIFSTOPPED(status));
  const std::string own_tag = lumatrice::TemporaryHostTag() + "-" + std::to_string(a.pid);
  // Writers run in parallel, so others of A's frames may be in flight too.
  const std::vector<std::string> a_temps = Temporaries(dir / "out");
  ASSERT_GE(a_temps.size(), 1u);
  for (const std::string& name : a_temps) EXPECT_NE(name.find(own_tag), std::string::npos) << name;
  // A file another node is writing on shared storage: never ours to remove.
  const fs::path other_node = dir / "out/.f.0002.lumatrice-tmp-othernode-1-0123456789ab.png";
  Spill(other_node, "another node's frame in progress");

  // The same output, spelled another way, is refused at once, naming A.
  const RunResult b =
      RunCli({"stamp", "in/shot.#.png", "-o", "out/f.%04d.png", "-q"}, dir);
  EXPECT_EQ(b.status, 1) << b.err;
  EXPECT_NE(b.err.find("host " + lumatrice::TemporaryHostTag() + ", PID " +
                       std::to_string(a.pid)),
            std::string::npos)
      << b.err;
  EXPECT_FALSE(fs::exists(dir / "out/f.0001.png"));

  // Another output in the same folder runs, and leaves A's file alone.
  const RunResult c = RunCli({"stamp", "in/shot.#.png", "-o", "out/g.#.png", "-q"}, dir);
  EXPECT_EQ(c.status, 0) << c.err;
  EXPECT_TRUE(fs::exists(dir / "out/g.0004.png"));
  EXPECT_EQ(Temporaries(dir / "out").size(), a_temps.size() + 1);

  // E waits for the lock and is cancelled while it waits.
  const Piped e = SpawnPiped(with_wait(stamp), dir, false);
  EXPECT_NE(ReadUntil(e.err, "waiting").find("PID " + std::to_string(a.pid)), std::string::npos);
  ::kill(e.pid, SIGTERM);
  EXPECT_EQ(Wait(e.pid), 130);
  ::close(e.err);

  // D waits; A is killed as a farm kills it; D then runs and sweeps A's file.
  const Piped d = SpawnPiped(with_wait(stamp), dir, false);
  ReadUntil(d.err, "waiting");
  ASSERT_EQ(::kill(a.pid, SIGKILL), 0);
  EXPECT_EQ(Wait(a.pid), 1000 + SIGKILL);
  const std::string d_err = ReadUntil(d.err, "\n\n");  // to the end
  EXPECT_EQ(Wait(d.pid), 0) << d_err;
  ::close(d.err);
  ::close(a.err);
  EXPECT_NE(d_err.find("removed " + std::to_string(a_temps.size()) + " stale temporary file"),
            std::string::npos)
      << d_err;
  EXPECT_EQ(Temporaries(dir / "out"), std::vector<std::string>{other_node.filename().string()});
  for (int f = 1; f <= 4; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "out/f.%04d.png", f);
    lumatrice::FrameBuffer frame;
    std::string error;
    EXPECT_TRUE(lumatrice::ReadFrame((dir / name).string(), frame, error)) << error;
  }
  if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

}  // namespace
