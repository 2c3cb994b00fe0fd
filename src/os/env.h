// The one seam between the helper and the operating system. Product code reaches processes,
// files, the clock and sockets only through an injected Env, so that tests can script every
// outcome and record every command line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace kivo {

// A time limit as seconds and nanoseconds; reported in whole milliseconds.
struct TimeLimit {
  std::uint64_t seconds = 0;
  std::uint32_t nanos = 0;
  std::uint64_t millis() const { return seconds * 1000 + nanos / 1000000; }
};

// Success with the tool's output text, or failure with its error text.
using CommandResult = Result<std::string>;

// A long-lived child started by the helper (wireguard-go).
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  virtual std::uint32_t pid() const = 0;
  // Signal-0 probe; an exited child counts as gone even before anything reaps it.
  virtual bool is_alive() = 0;
  // SIGKILL and reap; errors ignored.
  virtual void kill() = 0;
  // Leaves the process running; its output is drained and its exit reaped in the background.
  // Fails, keeping the handle, when that background work cannot be started.
  virtual Status release() = 0;
};

struct FileOwner {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};

// Who asked: the peer's effective ids. Root is the default, for the helper's own work.
struct ClientIdentity {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  bool is_root() const { return uid == 0; }
};

class Env {
 public:
  virtual ~Env() = default;

  // Runs a tool to its end (or its time limit) and reduces the outcome to a CommandResult.
  virtual CommandResult run_command(const std::string& program, const std::vector<std::string>& args,
                                    std::optional<TimeLimit> limit) = 0;
  // Runs a tool and reports only whether it exited normally with status 0.
  virtual bool probe_command(const std::string& program, const std::vector<std::string>& args) = 0;
  virtual Result<std::unique_ptr<ChildProcess>> spawn_child(const std::string& program,
                                                            const std::vector<std::string>& args) = 0;
  // kill(pid, 0) succeeds.
  virtual bool process_exists(std::uint32_t pid) = 0;

  // Whole seconds since the epoch; 0 for a clock before it.
  virtual std::uint64_t now_epoch_seconds() = 0;
  virtual std::chrono::steady_clock::time_point monotonic_now() = 0;
  virtual void sleep_for(std::chrono::milliseconds duration) = 0;

  virtual Result<std::string> read_file(const std::string& path) = 0;
  // Temp file in the same folder, mode 0600, fsync, rename: never a half-written record.
  virtual Status write_file_atomic(const std::string& path, std::string_view content) = 0;
  virtual void remove_file(const std::string& path) = 0;
  // stat() with links followed succeeds.
  virtual bool path_exists(const std::string& path) = 0;
  virtual Result<std::string> canonical_path(const std::string& path) = 0;
  virtual std::optional<FileOwner> file_owner(const std::string& path) = 0;

  // Effective uid and gid of the process at the other end of a connected Unix socket.
  virtual Result<ClientIdentity> peer_identity(int socket_fd) = 0;
  // TCP connect to a loopback address within the limit.
  virtual bool tcp_probe(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit) = 0;

  // One of the helper's fixed standard-error lines (newline added). Any local user can cause
  // one, so each kind is written at most once a second (ErrorLineThrottle).
  virtual void print_error_line(std::string_view line) = 0;

  // --- Acting for a client ---------------------------------------------------------------
  // The helper is root, its clients need not be: what a client names is looked at with the
  // client's own identity, so the helper reveals and reaches nothing the client could not.
  // A path the client cannot reach fails exactly as a missing one does.

  // Opens the path as the client (last component not followed, never waiting on a FIFO) and
  // reads it whole; it must be a regular file of at most max_bytes.
  virtual Result<std::string> read_file_as(const ClientIdentity& client, const std::string& path,
                                           std::size_t max_bytes) = 0;
  // stat() with links followed succeeds for the client.
  virtual bool path_exists_as(const ClientIdentity& client, const std::string& path) = 0;
  // Real uid of a running process; none when it is gone.
  virtual std::optional<std::uint32_t> process_owner(std::uint32_t pid) = 0;
  // Path of the program a running process executes; none when it cannot be learned.
  virtual std::optional<std::string> process_executable(std::uint32_t pid) = 0;
};

}  // namespace kivo
