// What a render farm does to lumatrice runs, through the built program: a
// run killed with SIGKILL between a frame's write and its rename, a second
// run for the same output while the first still holds it, another output in
// the same folder, a run that waits for the lock and one cancelled while it
// waits. The killed run is stopped exactly there by its own hook
// (LUMATRICE_STOP_BEFORE_RENAME raises SIGSTOP in the test copy of the
// program), never by timing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "image_io.h"
#include "output_lock.h"
#include "temp_files.h"

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

// An 8-bit RGB image of w x h in the format the extension names.
void WritePngSized(const fs::path& path, int w, int h) {
  OIIO::ImageSpec spec(w, h, 3, TypeDesc::UINT8);
  std::vector<unsigned char> px(std::size_t(w) * h * 3, 90);
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
    const char* exe = stop_hook ? LUMATRICE_HOOKED_EXE : LUMATRICE_EXE;
    std::vector<char*> argv{const_cast<char*>(exe)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(exe, argv.data());
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
  // A writer stopped between creating its temporary and locking it leaves
  // it empty; the sweep cannot tell that from a live writer's, so it stays.
  std::vector<std::string> a_left;
  for (const std::string& name : a_temps)
    if (fs::is_empty(dir / "out" / name)) a_left.push_back(name);
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

  // Frames that partly overlap A's are refused, naming the shared ones;
  // frames A does not write run beside it, as farm chunks do.
  const RunResult overlap =
      RunCli({"render", "-o", "out/f.#.png", "--frames", "3-6", "--size", "64x48", "-q"}, dir);
  EXPECT_EQ(overlap.status, 1) << overlap.err;
  EXPECT_NE(overlap.err.find("PID " + std::to_string(a.pid) + ", frames 1-4): frames 3-4 are in "
                             "both runs"),
            std::string::npos)
      << overlap.err;
  EXPECT_FALSE(fs::exists(dir / "out/f.0005.png"));
  const RunResult beside =
      RunCli({"render", "-o", "out/f.#.png", "--frames", "5-6", "--size", "64x48", "-q"}, dir);
  EXPECT_EQ(beside.status, 0) << beside.err;
  EXPECT_TRUE(fs::exists(dir / "out/f.0006.png"));

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
  EXPECT_NE(d_err.find("removed " + std::to_string(a_temps.size() - a_left.size()) +
                       " stale temporary file"),
            std::string::npos)
      << d_err;
  a_left.push_back(other_node.filename().string());
  std::vector<std::string> left = Temporaries(dir / "out");
  std::sort(left.begin(), left.end());
  std::sort(a_left.begin(), a_left.end());
  EXPECT_EQ(left, a_left);
  for (int f = 1; f <= 4; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "out/f.%04d.png", f);
    lumatrice::FrameBuffer frame;
    const lumatrice::Status read = lumatrice::ReadFrame((dir / name).string(), frame);
    EXPECT_TRUE(read) << read.message();
  }
  if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

// The sweep removes only what it can prove is a dead run's temporary of its
// own frames: a regular file named for one of them, whose writer's lock it
// can take. A stopped run's file survives it, even from another PID
// namespace and with the output lock file gone.
TEST(FarmCli, SweepRemovesOnlyUnheldTemporariesOfItsOwnFrames) {
  const fs::path dir = FreshDir("sweep");
  const std::string host = lumatrice::TemporaryHostTag();
  const std::string dead = ".lumatrice-tmp-" + host + "-999999-0123456789ab";
  struct Entry {
    std::string name;
    char kind;  // 'f' file, 'd' folder, 'l' link to ../victim.txt
    bool swept;
  };
  const Entry entries[] = {
      {".notes.lumatrice-tmp-vm-999999.txt", 'f', false},
      {".budget 2027.lumatrice-tmp-vm-4000000.xlsx", 'f', false},
      {".dir.lumatrice-tmp-vm-999998", 'd', false},
      {".notes" + dead + ".txt", 'f', false},     // not a frame of the run
      {".f.0002" + dead + ".exr", 'f', false},    // another extension
      {".f.0002" + dead + ".png", 'd', false},    // a folder
      {".f.0001" + dead + ".png", 'l', false},    // a link
      {".f.0003.lumatrice-tmp-othernode-999999-0123456789ab.png", 'f', false},
      {".f.0002" + dead + ".png.x", 'f', false},
      {".f.0003" + dead + ".png", 'f', true},     // a killed run's
  };
  Spill(dir / "victim.txt", "precious\n");
  for (const Entry& e : entries) {
    const fs::path p = dir / "out" / e.name;
    fs::create_directories(dir / "out");
    if (e.kind == 'd') fs::create_directories(p);
    if (e.kind == 'l') fs::create_symlink("../victim.txt", p);
    if (e.kind == 'f') Spill(p, "not ours to lose");
  }
  // A stops between its frame's write and the rename, its temporary locked.
  const std::vector<std::string> one = {"render", "-o",     "out/f.#.png", "--frames",
                                        "1",      "--size", "64x48",       "-q"};
  const Piped a = SpawnPiped(one, dir, true);
  int status = 0;
  ASSERT_EQ(::waitpid(a.pid, &status, WUNTRACED), a.pid);
  ASSERT_TRUE(WIFSTOPPED(status));
  std::vector<std::string> a_temp;
  const std::string a_tag = host + '-' + std::to_string(a.pid) + '-';
  for (const std::string& name : Temporaries(dir / "out"))
    if (name.find(a_tag) != std::string::npos) a_temp.push_back(name);
  ASSERT_EQ(a_temp.size(), 1u);
  fs::remove(dir / "out/.f.#.png.lumatrice-lock");

  RunOptions elsewhere;
  if (std::system("unshare --pid --fork --mount-proc true >/dev/null 2>&1") == 0)
    elsewhere.wrapper = {"unshare", "--pid", "--fork", "--mount-proc"};
  const RunResult b = RunCli({"render", "-o", "out/f.#.png", "--frames", "1-3", "--size", "64x48",
                              "-q"},
                             dir, elsewhere);
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_NE(b.err.find("removed 1 stale temporary file"), std::string::npos) << b.err;
  for (const Entry& e : entries) {
    const fs::path p = dir / "out" / e.name;
    EXPECT_EQ(!fs::exists(fs::symlink_status(p)), e.swept) << e.name;
  }
  EXPECT_EQ(Slurp(dir / "victim.txt"), "precious\n");
  EXPECT_TRUE(fs::exists(dir / "out" / a_temp[0]));
  // A goes on and finishes its frame.
  ::kill(a.pid, SIGCONT);
  EXPECT_EQ(Wait(a.pid), 0);
  ::close(a.err);
  EXPECT_FALSE(fs::exists(dir / "out" / a_temp[0]));
  if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

// A temporary file damaged between its write and its rename is read back
// before it may replace anything: the frame is refused by name and the
// earlier target stays.
TEST(FarmCli, TemporaryThatDoesNotReadBackNeverReplacesTheTarget) {
  struct Case {
    const char* what;
    const char* ext;
    const char* message;
  };
  const Case cases[] = {
      {"header gone", ".png", "the written frame does not read back"},
      {"another size", ".png", "the written frame reads back as 8x8 pixels, not 64x48"},
      {"another size whole", ".sgi", "the written frame reads back as 8x8 pixels, not 64x48"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = FreshDir("readback_" + std::to_string(&c - cases));
    const std::string target = std::string("out/f.0001") + c.ext;
    Spill(dir / target, "earlier frame");
    const Piped a = SpawnPiped({"render", "-o", std::string("out/f.#") + c.ext, "--frames", "1",
                                "--size", "64x48", "-q"},
                               dir, true);
    int status = 0;
    ASSERT_EQ(::waitpid(a.pid, &status, WUNTRACED), a.pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    const std::vector<std::string> temps = Temporaries(dir / "out");
    ASSERT_EQ(temps.size(), 1u);
    const fs::path temp = dir / "out" / temps[0];
    if (c.what[0] == 'h') {
      fs::resize_file(temp, 4);
    } else {
      // Written in place, so the run's descriptor sees it.
      const fs::path other = dir / (std::string("other") + c.ext);
      WritePngSized(other, 8, 8);
      Spill(temp, Slurp(other));
    }
    ::kill(a.pid, SIGCONT);
    const std::string err = ReadUntil(a.err, "\n\n");
    EXPECT_EQ(Wait(a.pid), 1) << err;
    ::close(a.err);
    EXPECT_NE(err.find(target + ": " + c.message), std::string::npos) << err;
    EXPECT_EQ(Slurp(dir / target), "earlier frame");
    EXPECT_TRUE(Temporaries(dir / "out").empty());
    if (!::testing::Test::HasFailure()) fs::remove_all(dir);
  }
}

}  // namespace
