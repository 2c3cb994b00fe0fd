#include "server/socket_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "server/client_session.h"

namespace kivo {
namespace {

std::string errno_text(int e) { return std::strerror(e); }

// Child processes (wireguard-go above all) must not inherit a client's connection, or the client
// would never see the end of its response.
void set_cloexec(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }

Result<std::string> read_to_end(int fd) {
  std::string data;
  char buf[16384];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(errno_text(errno));
    if (n == 0) return data;
    data.append(buf, static_cast<size_t>(n));
  }
}

void write_all_ignoring_errors(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data.remove_prefix(static_cast<size_t>(n));
  }
}

void handle_client(Features& features, int fd) {
  Env& env = features.env;
  if (auto reason = reject_reason(env, env.peer_uid(fd))) {
    write_all_ignoring_errors(fd, rejection_response(env, *reason));
  } else if (auto request = read_to_end(fd); !request) {
    env.print_error_line("Read error: " + request.error());
  } else if (auto response = answer_request(features, *request)) {
    write_all_ignoring_errors(fd, *response);
  }
  close(fd);
}

[[noreturn]] void die(const std::string& text) {
  std::string line = text + "\n";
  (void)!write(STDERR_FILENO, line.data(), line.size());
  _exit(1);
}

}  // namespace

Result<int> open_helper_socket(Env& env, const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) unlink(path.c_str());

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return fail("Failed to bind socket: path too long");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return fail("Failed to bind socket: " + errno_text(errno));
  set_cloexec(fd);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 128) != 0) {
    int e = errno;
    close(fd);
    return fail("Failed to bind socket: " + errno_text(e));
  }
  if (auto owner = env.file_owner(kConsolePath)) (void)!chown(path.c_str(), owner->uid, owner->gid);
  if (chmod(path.c_str(), 0666) != 0) {
    int e = errno;
    close(fd);
    return fail("Failed to set socket permissions: " + errno_text(e));
  }
  return fd;
}

void serve_forever(Features& features, int listen_fd) {
  for (;;) {
    int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0) {
      if (errno != EINTR) features.env.print_error_line("Accept failed: " + errno_text(errno));
      continue;
    }
    set_cloexec(fd);
    try {
      std::thread(handle_client, std::ref(features), fd).detach();
    } catch (const std::system_error&) {
      die("failed to spawn thread");
    }
  }
}

}  // namespace kivo
