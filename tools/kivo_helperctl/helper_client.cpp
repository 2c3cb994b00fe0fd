#include "tools/kivo_helperctl/helper_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <sstream>

#include "os/descriptors.h"

namespace kivo::helperctl {
namespace {

using Clock = std::chrono::steady_clock;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Waits for `events` on `fd` until the deadline; false once it has passed.
bool wait_for(int fd, short events, std::optional<Clock::time_point> deadline) {
  for (;;) {
    int wait_ms = -1;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      if (left <= 0) return false;
      wait_ms = static_cast<int>(left);
    }
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, wait_ms);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;  // let the read or write itself report the fault
  }
}

}  // namespace

Result<std::string> exchange(const std::string& socket_path, const std::string& request,
                             std::chrono::milliseconds timeout) {
  std::optional<Clock::time_point> deadline;
  if (timeout.count() > 0) deadline = Clock::now() + timeout;
  std::ostringstream late_text;
  late_text << "no answer within " << timeout.count() / 1000.0 << " s";
  const std::string late = late_text.str();

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof addr.sun_path) return fail("socket path too long: " + socket_path);
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  Descriptor fd{stream_socket(AF_UNIX)};
  if (fd.get() < 0) return fail("cannot create a socket: " + system_error_text(errno));
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS && errno != EAGAIN)
      return fail("cannot connect to " + socket_path + ": " + system_error_text(errno));
    if (!wait_for(fd.get(), POLLOUT, deadline)) return fail(late);
    int error = 0;
    socklen_t len = sizeof error;
    getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len);
    if (error != 0) return fail("cannot connect to " + socket_path + ": " + system_error_text(error));
  }
  for (size_t off = 0; off < request.size();) {
    if (!wait_for(fd.get(), POLLOUT, deadline)) return fail(late);
    ssize_t n = write(fd.get(), request.data() + off, request.size() - off);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;  // the helper may answer and close early (a rejected client)
    off += static_cast<size_t>(n);
  }
  shutdown(fd.get(), SHUT_WR);
  std::string response;
  char buf[16384];
  for (;;) {
    if (!wait_for(fd.get(), POLLIN, deadline)) return fail(late);
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    response.append(buf, static_cast<size_t>(n));
  }
  if (response.empty()) return fail("no response");
  return response;
}

}  // namespace kivo::helperctl
