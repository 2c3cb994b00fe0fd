#include "os/descriptors.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kivo {
namespace {

#ifdef __APPLE__
// macOS has no accept4/pipe2/mkostemp: the flags follow at once, and the spawner closes every
// descriptor it did not name (POSIX_SPAWN_CLOEXEC_DEFAULT), which covers the window.
void set_cloexec(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }
void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }
#endif

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

int millis_until(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 60 * 60 * 1000));
}

// Waits for the event until the deadline; false when it passed first or poll failed.
bool wait_for(int fd, short event, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    int timeout = millis_until(deadline);
    pollfd p{fd, event, 0};
    int r = poll(&p, 1, timeout);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

[[maybe_unused]] std::string from_strerror_r(int rc, const char* buf) { return rc == 0 ? std::string(buf) : "Unknown error"; }
[[maybe_unused]] std::string from_strerror_r(const char* text, const char*) { return text ? std::string(text) : "Unknown error"; }

}  // namespace

std::string system_error_text(int error_number) {
  char buf[256] = {0};
  // XSI strerror_r returns an int, the GNU one a pointer that may or may not be buf.
  return from_strerror_r(strerror_r(error_number, buf, sizeof buf), buf);
}

int accept_connection(int listen_fd) {
#ifdef __APPLE__
  int fd = accept(listen_fd, nullptr, nullptr);
  if (fd >= 0) {
    set_cloexec(fd);
    set_nonblocking(fd);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
  }
  return fd;
#else
  return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
#endif
}

int stream_socket(int domain) {
#ifdef __APPLE__
  int fd = socket(domain, SOCK_STREAM, 0);
  if (fd >= 0) set_cloexec(fd);
  return fd;
#else
  return socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
}

bool cloexec_pipe(int fds[2]) {
#ifdef __APPLE__
  if (pipe(fds) != 0) return false;
  set_cloexec(fds[0]);
  set_cloexec(fds[1]);
  return true;
#else
  return pipe2(fds, O_CLOEXEC) == 0;
#endif
}

int cloexec_temp_file(std::string& path_template) {
#ifdef __APPLE__
  int fd = mkstemp(path_template.data());
  if (fd >= 0) set_cloexec(fd);
  return fd;
#else
  return mkostemp(path_template.data(), O_CLOEXEC);
#endif
}

BoundedRead read_to_end_bounded(int fd, std::size_t max_bytes, std::chrono::steady_clock::time_point deadline) {
  BoundedRead result;
  // Small enough to stay inside the stack a new thread is handed already mapped, large enough
  // that a typical request takes one read.
  char buf[4096];
  for (;;) {
    // One byte past the cap is enough to know the request is too large.
    std::size_t room = max_bytes + 1 - result.data.size();
    ssize_t n = read(fd, buf, std::min(sizeof buf, room));
    if (n > 0) {
      result.data.append(buf, static_cast<std::size_t>(n));
      if (result.data.size() > max_bytes) {
        result.data.resize(max_bytes);
        result.end = BoundedRead::End::kTooLarge;
        return result;
      }
      continue;
    }
    if (n == 0) return result;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (wait_for(fd, POLLIN, deadline)) continue;
      result.end = BoundedRead::End::kTimedOut;
      return result;
    }
    result.end = BoundedRead::End::kFailed;
    result.error = system_error_text(errno);
    return result;
  }
}

void discard_until_end(int fd, std::chrono::steady_clock::time_point deadline) {
  char buf[16384];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(fd, POLLIN, deadline)) continue;
    return;
  }
}

bool send_all_by(int fd, std::string_view data, std::chrono::steady_clock::time_point deadline) {
  while (!data.empty()) {
    ssize_t n = send(fd, data.data(), data.size(), kSendFlags);
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(fd, POLLOUT, deadline)) continue;
    return false;
  }
  return true;
}

}  // namespace kivo
