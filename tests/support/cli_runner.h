// Runs the built lumatrice program in a folder of its own and snapshots that
// folder, so a test can tell exactly which files a run created or changed.
// A run may be given a file-size limit (a full disk) or another user (to
// honour folder permissions when the tests run as root).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace clitest {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;  // exit status, or 1000 + signal
  std::string out, err;
};

struct RunOptions {
  std::optional<rlim_t> file_size_limit;  // bytes
  std::optional<uid_t> user;
  std::vector<std::pair<std::string, std::string>> env;  // set in the run's environment
  std::function<void()> in_child;  // runs in the child, as the program's own PID, before exec
  std::vector<std::string> wrapper;  // a program (found on PATH) that runs ours: unshare ...
  const char* exe = LUMATRICE_EXE;   // the test copy with hooks: LUMATRICE_HOOKED_EXE
};

inline std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

inline void Spill(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

// Starts the program in `dir`; its output goes to files beside `dir`, so a
// snapshot of `dir` sees only what the run itself wrote.
inline pid_t SpawnCli(const std::vector<std::string>& args, const fs::path& dir,
                      const RunOptions& options = {}) {
  const fs::path out_file = dir.string() + ".stdout", err_file = dir.string() + ".stderr";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0 || err < 0 || ::chdir(dir.c_str()) != 0) ::_exit(126);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (options.file_size_limit) {
      // A write past the limit then fails with EFBIG instead of killing.
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit lim{*options.file_size_limit, *options.file_size_limit};
      if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(126);
    }
    if (options.user && (::setgid(*options.user) != 0 || ::setuid(*options.user) != 0))
      ::_exit(126);
    for (const auto& [name, value] : options.env) ::setenv(name.c_str(), value.c_str(), 1);
    if (options.in_child) options.in_child();
    std::vector<char*> argv;
    for (const std::string& w : options.wrapper) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(const_cast<char*>(options.exe));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    // The suites run once more with every stamp on the whole-frame path.
    static char full[] = "--full-reencode";
    if (std::getenv("LUMATRICE_TEST_FULL_REENCODE") && !args.empty() && args[0] == "stamp")
      argv.push_back(full);
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Waits for a run started by SpawnCli in `dir`.
inline RunResult FinishCli(pid_t pid, const fs::path& dir) {
  RunResult r;
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  const fs::path out_file = dir.string() + ".stdout", err_file = dir.string() + ".stderr";
  r.out = Slurp(out_file);
  r.err = Slurp(err_file);
  fs::remove(out_file);
  fs::remove(err_file);
  return r;
}

inline RunResult RunCli(const std::vector<std::string>& args, const fs::path& dir,
                        const RunOptions& options = {}) {
  return FinishCli(SpawnCli(args, dir, options), dir);
}

// Every regular file under `dir` (relative path -> bytes), output locks aside.
using Snapshot = std::map<std::string, std::string>;

inline Snapshot Snap(const fs::path& dir) {
  Snapshot s;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    std::error_code ec;  // a link loop is no file
    const std::string name = e.path().filename().string();
    // Output locks name their last holder; they are no run's output.
    const std::string lock = ".lumatrice-lock";
    if (name.size() > lock.size() && name.compare(name.size() - lock.size(), lock.size(), lock) == 0)
      continue;
    if (e.is_regular_file(ec)) s[fs::relative(e.path(), dir).string()] = Slurp(e.path());
  }
  return s;
}

// What changed from `before` to `after`, one line per file; empty when
// nothing did.
inline std::string Changes(const Snapshot& before, const Snapshot& after) {
  std::string out;
  for (const auto& [name, bytes] : before) {
    auto it = after.find(name);
    if (it == after.end())
      out += "removed " + name + "\n";
    else if (it->second != bytes)
      out += "changed " + name + " (" + std::to_string(bytes.size()) + " -> " +
             std::to_string(it->second.size()) + " bytes)\n";
  }
  for (const auto& [name, bytes] : after)
    if (!before.count(name)) out += "created " + name + "\n";
  return out;
}

// A fresh folder per test under the system's temporary folder.
inline fs::path FreshDir(const std::string& name) {
  const fs::path dir =
      fs::temp_directory_path() / ("lumatrice_test_" + std::to_string(::getpid()) + "_" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

}  // namespace clitest
