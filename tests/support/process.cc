#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace support {

namespace {

std::vector<char *> argv_of(std::vector<std::string> &args) {
  std::vector<char *> argv;
  argv.reserve(args.size() + 1);
  for (std::string &arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_child(pid_t parent, int in, int out, int err, const char *cwd,
                             char *const *argv) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent)
    _exit(127);
  if (dup2(in, 0) < 0 || (out >= 0 && dup2(out, 1) < 0) || (err >= 0 && dup2(err, 2) < 0))
    _exit(126);
  if (cwd != nullptr && chdir(cwd) != 0)
    _exit(126);
  execv(argv[0], argv);
  _exit(127);
}

int open_dev_null() {
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw std::runtime_error("cannot open /dev/null");
  return fd;
}

} // namespace

std::string find_on_path(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty())
      continue;
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return "";
}

pid_t spawn(const std::vector<std::string> &args, const std::string &output_file) {
  std::vector<std::string> copy = args;
  const std::vector<char *> argv = argv_of(copy);
  const int in = open_dev_null();
  int out = -1;
  if (!output_file.empty()) {
    out = open(output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) {
      close(in);
      throw std::runtime_error("cannot open " + output_file);
    }
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0)
    exec_child(parent, in, out, out, nullptr, argv.data());
  close(in);
  if (out >= 0)
    close(out);
  if (pid < 0)
    throw std::runtime_error("fork() failed for " + args.at(0));
  return pid;
}

void kill_and_reap(pid_t pid) {
  if (pid <= 0)
    return;
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

RunResult run(const std::vector<std::string> &args, std::chrono::seconds deadline,
              const std::string &cwd) {
  std::vector<std::string> copy = args;
  const std::vector<char *> argv = argv_of(copy);
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    throw std::runtime_error("pipe failed");
  }
  const int in = open_dev_null();
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0)
    exec_child(parent, in, out_pipe[1], err_pipe[1], cwd.empty() ? nullptr : cwd.c_str(),
               argv.data());
  close(in);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    throw std::runtime_error("fork() failed for " + args.at(0));
  }

  RunResult result;
  // Both pipes are read until both close, so a child that fills one is never blocked.
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open_pipes = 2;
  const auto end = std::chrono::steady_clock::now() + deadline;
  char buffer[65536];
  while (open_pipes > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      break;
    }
    const int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready <= 0)
      continue; // EINTR or the deadline, which the loop checks
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1; // poll skips negative descriptors
        --open_pipes;
        continue;
      }
      sinks[i]->append(buffer, static_cast<std::size_t>(n));
    }
  }
  for (const pollfd &p : fds) {
    if (p.fd >= 0)
      close(p.fd);
  }
  if (result.timed_out)
    kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    result.exit_status = WEXITSTATUS(status);
  return result;
}

} // namespace support
