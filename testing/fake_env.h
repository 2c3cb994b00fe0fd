// A scripted operating system for unit tests: commands answer from a script keyed by their
// command line and are recorded in order, files live in memory, the clock is set by hand.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "os/env.h"

namespace kivo::testing {

class FakeEnv : public Env {
 public:
  // Command lines are the program and its arguments joined by single blanks.
  // Each call to a scripted line takes the next queued outcome; the last one repeats.
  // Unscripted lines succeed with empty output.
  void script(const std::string& line, std::vector<CommandResult> outcomes);
  void script_ok(const std::string& line, const std::string& output = "") { script(line, {CommandResult(output)}); }
  void script_fail(const std::string& line, const std::string& error) { script(line, {CommandResult(fail(error))}); }
  // Consulted before the script: a handler may answer any line.
  std::function<std::optional<CommandResult>(const std::string& line)> handler;

  // Every command, probe, spawn and child kill, in the order it happened.
  std::vector<std::string> commands() const;
  // Only those lines that start with the given program name.
  std::vector<std::string> commands_of(const std::string& program) const;
  void clear_commands();
  // The time limit of each run, by line ("" when none).
  std::map<std::string, std::uint64_t> limits_ms;

  // Spawned children: pid handed out next, and whether they stay alive.
  std::uint32_t next_pid = 4242;
  bool spawn_fails = false;
  int child_dies_after_probes = -1;  // -1: never
  bool release_fails = false;        // no thread for a released child's output
  std::set<std::uint32_t> live_pids;

  std::uint64_t epoch_seconds = 1700000000;
  std::chrono::steady_clock::time_point monotonic{};

  std::map<std::string, std::string> files;
  std::set<std::string> failing_writes;  // paths whose writes fail
  std::set<std::string> existing_paths;  // besides files
  std::map<std::string, std::string> canonical;
  std::optional<FileOwner> console_owner;
  std::map<std::string, bool> tcp_listeners;  // "host:port" -> accepts
  std::vector<std::string> tcp_probes;          // "host:port within N ms", in order
  std::vector<std::string> stderr_lines;

  CommandResult run_command(const std::string& program, const std::vector<std::string>& args,
                            std::optional<TimeLimit> limit) override;
  bool probe_command(const std::string& program, const std::vector<std::string>& args) override {
    return run_command(program, args, std::nullopt).ok();
  }
  Result<std::unique_ptr<ChildProcess>> spawn_child(const std::string& program,
                                                    const std::vector<std::string>& args) override;
  bool process_exists(std::uint32_t pid) override { return live_pids.count(pid) > 0; }
  std::uint64_t now_epoch_seconds() override { return epoch_seconds; }
  std::chrono::steady_clock::time_point monotonic_now() override { return monotonic; }
  void sleep_for(std::chrono::milliseconds duration) override;
  Result<std::string> read_file(const std::string& path) override;
  Status write_file_atomic(const std::string& path, std::string_view content) override;
  void remove_file(const std::string& path) override;
  bool path_exists(const std::string& path) override;
  Result<std::string> canonical_path(const std::string& path) override;
  std::optional<FileOwner> file_owner(const std::string& path) override {
    return path == "/dev/console" ? console_owner : std::nullopt;
  }
  Result<ClientIdentity> peer_identity(int) override { return ClientIdentity{}; }  // root
  bool tcp_probe(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit) override;
  void print_error_line(std::string_view line) override;

  // Acting for a client: paths only root may reach, paths that are no regular file, owners and
  // programs of processes (a spawned child runs its program).
  std::set<std::string> root_only_paths;
  std::set<std::string> special_files;
  std::map<std::uint32_t, std::uint32_t> process_owners;
  std::map<std::uint32_t, std::string> executables;
  Result<std::string> read_file_as(const ClientIdentity& client, const std::string& path,
                                   std::size_t max_bytes) override;
  bool path_exists_as(const ClientIdentity& client, const std::string& path) override;
  std::optional<std::uint32_t> process_owner(std::uint32_t pid) override;
  std::optional<std::string> process_executable(std::uint32_t pid) override;

  std::chrono::milliseconds slept{0};

  void record(const std::string& line);

 private:
  CommandResult answer(const std::string& line);
  template <class F>
  auto locked(F&& f) const {
    std::lock_guard lock(mu_);
    return f();
  }
  mutable std::recursive_mutex mu_;
  std::vector<std::string> log_;
  std::map<std::string, std::deque<CommandResult>> script_;
};

}  // namespace kivo::testing
