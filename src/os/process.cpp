#include "os/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>
#include <tuple>

#include "os/command_outcome.h"
#include "os/descriptors.h"

extern char** environ;

namespace kivo {
namespace {

// An argument with a NUL byte would reach the program cut short at that byte: a different
// argument from the one that was checked.
bool holds_nul(const std::string& program, const std::vector<std::string>& args) {
  if (program.find('\0') != std::string::npos) return true;
  return std::any_of(args.begin(), args.end(), [](const std::string& a) { return a.find('\0') != std::string::npos; });
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

enum class Stdin { kNull, kInherit };

struct Spawned {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

// Starts program (found through PATH when it has no "/") with stdout and stderr on pipes.
Result<Spawned> spawn_with_pipes(const std::string& program, const std::vector<std::string>& args, Stdin stdin_mode,
                                 bool capture) {
  if (holds_nul(program, args)) return fail(system_error_text(EINVAL));
  int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
  if (capture && (!cloexec_pipe(out_pipe) || !cloexec_pipe(err_pipe))) {
    int e = errno;
    close_fd(out_pipe[0]), close_fd(out_pipe[1]), close_fd(err_pipe[0]), close_fd(err_pipe[1]);
    return fail(system_error_text(e));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdin_mode == Stdin::kNull) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawnattr_t attrs;
  posix_spawnattr_init(&attrs);
#ifdef __APPLE__
  // The child gets only the descriptors named here, whatever other threads opened meanwhile.
  posix_spawnattr_setflags(&attrs, POSIX_SPAWN_CLOEXEC_DEFAULT);
  if (stdin_mode == Stdin::kInherit) posix_spawn_file_actions_addinherit_np(&actions, 0);
#endif
  if (capture) {
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, program.c_str(), &actions, &attrs, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attrs);
  close_fd(out_pipe[1]);
  close_fd(err_pipe[1]);
  if (rc != 0) {
    close_fd(out_pipe[0]);
    close_fd(err_pipe[0]);
    return fail(system_error_text(rc));
  }
  return Spawned{pid, out_pipe[0], err_pipe[0]};
}

// Reads whatever is ready on the open pipes, waiting at most timeout_ms; closes a pipe at its end.
void drain(int& out_fd, int& err_fd, std::string& out, std::string& err, int timeout_ms) {
  pollfd fds[2];
  nfds_t n = 0;
  if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
  if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
  if (n == 0 || poll(fds, n, timeout_ms) <= 0) return;
  char buf[65536];
  for (nfds_t i = 0; i < n; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    bool is_out = fds[i].fd == out_fd;
    ssize_t got = read(fds[i].fd, buf, sizeof buf);
    if (got > 0) {
      (is_out ? out : err).append(buf, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      close_fd(is_out ? out_fd : err_fd);
    }
  }
}

ProcessExit to_exit(int status) {
  if (WIFEXITED(status)) return {true, WEXITSTATUS(status)};
  return {false, WIFSIGNALED(status) ? WTERMSIG(status) : -1};
}

pid_t wait_retrying(pid_t pid, int* status, int flags) {
  pid_t r;
  do {
    r = waitpid(pid, status, flags);
  } while (r < 0 && errno == EINTR);
  return r;
}

class SpawnedChild final : public ChildProcess {
 public:
  explicit SpawnedChild(Spawned s) : s_(s) {}
  ~SpawnedChild() override {
    if (!released_ && !reaped_) kill();
    close_fd(s_.out);
    close_fd(s_.err);
  }
  std::uint32_t pid() const override { return static_cast<std::uint32_t>(s_.pid); }
  bool is_alive() override {
    if (reaped_) return false;
    int status = 0;
    if (wait_retrying(s_.pid, &status, WNOHANG) == s_.pid) {
      reaped_ = true;
      return false;
    }
    return ::kill(s_.pid, 0) == 0;
  }
  void kill() override {
    if (reaped_) return;
    ::kill(s_.pid, SIGKILL);
    int status = 0;
    wait_retrying(s_.pid, &status, 0);
    reaped_ = true;
  }
  Status release() override {
    Spawned s = s_;
    bool reaped = reaped_;
    // Nobody reads the tool's chatter, but a full pipe would stall it and an exited child must
    // not linger as a zombie that still answers signal 0.
    try {
      std::thread([s, reaped]() mutable {
        std::string sink_out, sink_err;
        while (s.out >= 0 || s.err >= 0) {
          drain(s.out, s.err, sink_out, sink_err, -1);
          sink_out.clear();
          sink_err.clear();
        }
        if (!reaped) {
          int status = 0;
          wait_retrying(s.pid, &status, 0);
        }
      }).detach();
    } catch (const std::system_error& e) {
      // The handle keeps the child, so the caller can still kill it.
      return fail(e.what());
    }
    released_ = true;
    s_.out = s_.err = -1;
    return {};
  }

 private:
  Spawned s_;
  bool reaped_ = false;
  bool released_ = false;
};

// Waits for the child while draining its pipes; false when the limit passed first, after the
// child was killed and reaped. The pipes are drained while waiting: a tool that prints more than a
// pipe holds must not block until the limit and be reported as timed out although it finished.
Result<bool> wait_within(Spawned& s, TimeLimit limit, std::string& out, std::string& err, int& status) {
  auto start = std::chrono::steady_clock::now();
  auto budget = std::chrono::seconds(limit.seconds) + std::chrono::nanoseconds(limit.nanos);
  auto within_budget = [&] { return std::chrono::steady_clock::now() - start < budget; };
  constexpr auto kLongestPause = std::chrono::milliseconds(25);
  constexpr auto kExitingWindow = std::chrono::milliseconds(1);
  auto pause = std::chrono::milliseconds(1);
  auto pipes_ended = start;
  for (;;) {
    pid_t r = wait_retrying(s.pid, &status, WNOHANG);
    if (r < 0) {
      int e = errno;
      close_fd(s.out);
      close_fd(s.err);
      return fail(system_error_text(e));
    }
    if (r == s.pid) {
      // What the tool printed is all in the pipes now; only a descendant that keeps them open
      // could make this wait, and it must not hold the run past its limit.
      while (s.out >= 0 || s.err >= 0) {
        bool late = !within_budget();
        auto before = std::tuple(s.out, s.err, out.size(), err.size());
        drain(s.out, s.err, out, err, late ? 0 : static_cast<int>(kLongestPause.count()));
        if (late && before == std::tuple(s.out, s.err, out.size(), err.size())) break;
      }
      close_fd(s.out);
      close_fd(s.err);
      return true;
    }
    if (!within_budget()) break;
    if (s.out >= 0 || s.err >= 0) {
      drain(s.out, s.err, out, err, static_cast<int>(kLongestPause.count()));
      pipes_ended = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - pipes_ended < kExitingWindow) {
      // Both pipes ended, so the tool is almost always in the last microseconds of its exit:
      // yielding lets it finish where even the shortest sleep would add a timer's slack to
      // every run.
      sched_yield();
    } else {
      // Still running with both pipes closed: look again with growing pauses.
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, kLongestPause);
    }
  }
  ::kill(s.pid, SIGKILL);
  wait_retrying(s.pid, &status, 0);
  close_fd(s.out);
  close_fd(s.err);
  return false;
}

}  // namespace

CommandResult run_process(const std::string& program, const std::vector<std::string>& args,
                          std::optional<TimeLimit> limit, TimeLimit bound) {
  auto spawned = spawn_with_pipes(program, args, limit ? Stdin::kInherit : Stdin::kNull, true);
  if (!spawned) return fail(spawned.error());
  std::string out, err;
  int status = 0;
  TimeLimit budget = limit.value_or(bound);
  KIVO_TRY(finished, wait_within(*spawned, budget, out, err, status));
  if (!finished) return fail(timed_out_message(program, budget));
  return command_output_to_result(out, err, to_exit(status));
}

Result<CapturedRun> run_process_captured(const std::string& program, const std::vector<std::string>& args) {
  auto spawned = spawn_with_pipes(program, args, Stdin::kNull, true);
  if (!spawned) return fail(spawned.error());
  Spawned s = *spawned;
  CapturedRun run;
  // Both pipes are read while the tool runs: one that fills either would never exit.
  while (s.out >= 0 || s.err >= 0) drain(s.out, s.err, run.standard_output, run.standard_error, -1);
  int status = 0;
  if (wait_retrying(s.pid, &status, 0) < 0) return fail(system_error_text(errno));
  run.exit = to_exit(status);
  return run;
}

bool probe_process(const std::string& program, const std::vector<std::string>& args, TimeLimit bound) {
  auto spawned = spawn_with_pipes(program, args, Stdin::kNull, false);
  if (!spawned) return false;
  std::string out, err;
  int status = 0;
  auto finished = wait_within(*spawned, bound, out, err, status);
  return finished.ok() && *finished && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Result<std::unique_ptr<ChildProcess>> spawn_process(const std::string& program, const std::vector<std::string>& args) {
  auto spawned = spawn_with_pipes(program, args, Stdin::kInherit, true);
  if (!spawned) return fail(spawned.error());
  return std::unique_ptr<ChildProcess>(std::make_unique<SpawnedChild>(*spawned));
}

}  // namespace kivo
