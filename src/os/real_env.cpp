#include "os/real_env.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <thread>

#include "base/process_id.h"
#include "os/descriptors.h"
#include "os/process.h"

namespace kivo {
namespace {

// The system would cut a path at a NUL byte and act on another file than the one named; such a
// path names nothing.
bool holds_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

Status write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(system_error_text(errno));
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

}  // namespace

CommandResult RealEnv::run_command(const std::string& program, const std::vector<std::string>& args,
                                   std::optional<TimeLimit> limit) {
  return run_process(program, args, limit);
}

bool RealEnv::probe_command(const std::string& program, const std::vector<std::string>& args) {
  return probe_process(program, args);
}

Result<std::unique_ptr<ChildProcess>> RealEnv::spawn_child(const std::string& program,
                                                           const std::vector<std::string>& args) {
  return spawn_process(program, args);
}

bool RealEnv::process_exists(std::uint32_t pid) {
  return is_single_process_id(pid) && ::kill(static_cast<pid_t>(pid), 0) == 0;
}

std::uint64_t RealEnv::now_epoch_seconds() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return secs < 0 ? 0 : static_cast<std::uint64_t>(secs);
}

std::chrono::steady_clock::time_point RealEnv::monotonic_now() { return std::chrono::steady_clock::now(); }

void RealEnv::sleep_for(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

Result<std::string> RealEnv::read_file(const std::string& path) {
  if (holds_nul(path)) return fail(system_error_text(ENOENT));
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(system_error_text(errno));
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      close(fd);
      return fail(system_error_text(e));
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return data;
}

Status RealEnv::write_file_atomic(const std::string& path, std::string_view content) {
  if (holds_nul(path)) return fail(system_error_text(ENOENT));
  std::string tmp = path + ".tmp.XXXXXX";
  int fd = cloexec_temp_file(tmp);  // mode 0600
  if (fd < 0) return fail(system_error_text(errno));
  Status written = write_all(fd, content);
  if (written && fchmod(fd, 0600) != 0) written = fail(system_error_text(errno));
  if (written && fsync(fd) != 0) written = fail(system_error_text(errno));
  if (close(fd) != 0 && written) written = fail(system_error_text(errno));
  if (written && rename(tmp.c_str(), path.c_str()) != 0) written = fail(system_error_text(errno));
  if (!written) unlink(tmp.c_str());
  return written;
}

void RealEnv::remove_file(const std::string& path) {
  if (!holds_nul(path)) unlink(path.c_str());
}

bool RealEnv::path_exists(const std::string& path) {
  struct stat st {};
  return !holds_nul(path) && stat(path.c_str(), &st) == 0;
}

Result<std::string> RealEnv::canonical_path(const std::string& path) {
  if (holds_nul(path)) return fail(system_error_text(ENOENT));
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return fail(system_error_text(errno));
  std::string out(resolved);
  free(resolved);
  return out;
}

std::optional<FileOwner> RealEnv::file_owner(const std::string& path) {
  struct stat st {};
  if (holds_nul(path) || stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileOwner{st.st_uid, st.st_gid};
}

Result<ClientIdentity> RealEnv::peer_identity(int socket_fd) {
#ifdef __APPLE__
  uid_t uid;
  gid_t gid;
  if (getpeereid(socket_fd, &uid, &gid) != 0) return fail(system_error_text(errno));
  return ClientIdentity{static_cast<std::uint32_t>(uid), static_cast<std::uint32_t>(gid)};
#else
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (getsockopt(socket_fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return fail(system_error_text(errno));
  return ClientIdentity{static_cast<std::uint32_t>(cred.uid), static_cast<std::uint32_t>(cred.gid)};
#endif
}

bool RealEnv::tcp_probe(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return false;
  int fd = stream_socket(AF_INET);
  if (fd < 0) return false;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  bool connected = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    connected = true;
  } else if (errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) == 1) {
      int so_error = 0;
      socklen_t len = sizeof so_error;
      connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) == 0 && so_error == 0;
    }
  }
  close(fd);
  return connected;
}

void RealEnv::print_error_line(std::string_view line) {
  std::string text;
  {
    std::lock_guard lock(error_lines_mu_);
    for (const auto& admitted : error_lines_.admit(line, monotonic_now())) text += admitted + '\n';
  }
  if (!text.empty()) (void)write_all(STDERR_FILENO, text);
}

}  // namespace kivo
