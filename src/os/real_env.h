#pragma once

#include <mutex>

#include "os/env.h"
#include "os/error_line_throttle.h"

namespace kivo {

// The operating system as the helper sees it in production.
class RealEnv final : public Env {
 public:
  CommandResult run_command(const std::string& program, const std::vector<std::string>& args,
                            std::optional<TimeLimit> limit) override;
  bool probe_command(const std::string& program, const std::vector<std::string>& args) override;
  Result<std::unique_ptr<ChildProcess>> spawn_child(const std::string& program,
                                                    const std::vector<std::string>& args) override;
  bool process_exists(std::uint32_t pid) override;

  std::uint64_t now_epoch_seconds() override;
  std::chrono::steady_clock::time_point monotonic_now() override;
  void sleep_for(std::chrono::milliseconds duration) override;

  Result<std::string> read_file(const std::string& path) override;
  Status write_file_atomic(const std::string& path, std::string_view content) override;
  void remove_file(const std::string& path) override;
  bool path_exists(const std::string& path) override;
  Result<std::string> canonical_path(const std::string& path) override;
  std::optional<FileOwner> file_owner(const std::string& path) override;

  Result<ClientIdentity> peer_identity(int socket_fd) override;
  bool tcp_probe(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit) override;

  void print_error_line(std::string_view line) override;

  // Acting for a client.
  Result<std::string> read_file_as(const ClientIdentity& client, const std::string& path,
                                   std::size_t max_bytes) override;
  bool path_exists_as(const ClientIdentity& client, const std::string& path) override;
  std::optional<std::uint32_t> process_owner(std::uint32_t pid) override;
  std::optional<std::string> process_executable(std::uint32_t pid) override;

 private:
  std::mutex error_lines_mu_;
  ErrorLineThrottle error_lines_;
};

}  // namespace kivo
