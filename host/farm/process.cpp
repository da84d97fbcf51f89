// Subprocesses for the farm: fork and execvp with the argument vector as
// given; stdout and stderr are read together through poll so that neither
// pipe can fill up and stall the child.
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace lumatrice::farm {

namespace {

// The child's ends and ours: standard input, output, error, and the pipe
// through which a failed exec reports its errno.
struct Pipes {
  int in[2], out[2], err[2], report[2];
};

// In the child: the pipes on 0, 1 and 2, the environment, then the program.
[[noreturn]] void ExecChild(const Pipes& p, std::vector<char*>& args,
                            const ProcessOptions& options) {
  ::dup2(p.in[0], 0);
  ::dup2(p.out[1], 1);
  ::dup2(p.err[1], 2);
  for (const auto& [k, v] : options.env) ::setenv(k.c_str(), v.c_str(), 1);
  ::signal(SIGPIPE, SIG_DFL);
  ::execvp(args[0], args.data());
  const int e = errno;
  (void)!::write(p.report[1], &e, sizeof e);
  ::_exit(127);
}

void WriteInput(int fd, const std::string& text) {
  std::size_t done = 0;
  auto old = ::signal(SIGPIPE, SIG_IGN);
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0 && errno != EINTR) break;
    if (n > 0) done += std::size_t(n);
  }
  ::signal(SIGPIPE, old);
}

// Both pipes read as their data comes until both close.
void ReadOutput(int out, int err, bool pass_stderr, ProcessResult& r) {
  pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  int open_fds = 2;
  char buf[4096];
  while (open_fds > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
        continue;
      }
      (i == 0 ? r.out : r.err).append(buf, std::size_t(n));
      if (i == 1 && pass_stderr) (void)!::write(2, buf, std::size_t(n));
    }
  }
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  ProcessResult r;
  if (argv.empty()) {
    r.error = "no program given";
    return r;
  }
  Pipes p;
  if (::pipe2(p.out, O_CLOEXEC) || ::pipe2(p.err, O_CLOEXEC) || ::pipe2(p.in, O_CLOEXEC) ||
      ::pipe2(p.report, O_CLOEXEC)) {
    r.error = std::string("pipe: ") + std::strerror(errno);
    return r;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    r.error = std::string("fork: ") + std::strerror(errno);
    return r;
  }
  if (pid == 0) ExecChild(p, args, options);
  if (options.child) options.child->store(pid);
  ::close(p.in[0]);
  ::close(p.out[1]);
  ::close(p.err[1]);
  ::close(p.report[1]);
  int exec_errno = 0;
  if (::read(p.report[0], &exec_errno, sizeof exec_errno) == sizeof exec_errno)
    r.error = argv[0] + ": " + std::strerror(exec_errno);
  ::close(p.report[0]);
  if (options.input) WriteInput(p.in[1], *options.input);
  ::close(p.in[1]);
  ReadOutput(p.out[0], p.err[0], options.pass_stderr, r);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (options.child) options.child->store(0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.started = r.error.empty();
  return r;
}

std::string FindOnPath(const std::string& program) {
  if (program.find('/') != std::string::npos)
    return ::access(program.c_str(), X_OK) == 0 ? program : "";
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    const std::string candidate = dir + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

std::string SelfExecutable() {
  std::error_code ec;
  const auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

}  // namespace lumatrice::farm
