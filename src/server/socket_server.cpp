#include "server/socket_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "os/descriptors.h"
#include "protocol/helper_protocol.h"
#include "server/client_session.h"

namespace kivo {
namespace {

using Clock = std::chrono::steady_clock;

std::string too_large_response(std::size_t cap) {
  return protocol::encode_response(protocol::response::Err{
      std::string(protocol::code::kParseError),
      "request too large: the limit is " + std::to_string(cap) + " bytes"});
}

}  // namespace

Result<int> open_helper_socket(Env& env, const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) unlink(path.c_str());

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return fail("Failed to bind socket: path too long");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = stream_socket(AF_UNIX);
  if (fd < 0) return fail("Failed to bind socket: " + system_error_text(errno));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 128) != 0) {
    int e = errno;
    close(fd);
    return fail("Failed to bind socket: " + system_error_text(e));
  }
  if (auto owner = env.file_owner(kConsolePath)) (void)!chown(path.c_str(), owner->uid, owner->gid);
  if (chmod(path.c_str(), 0666) != 0) {
    int e = errno;
    close(fd);
    return fail("Failed to set socket permissions: " + system_error_text(e));
  }
  return fd;
}

void hand_socket_to_console_owner(Env& env, const std::string& path) {
  auto console = env.file_owner(kConsolePath);
  FileOwner wanted = console ? *console : FileOwner{0, 0};
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return;
  if (st.st_uid == wanted.uid && st.st_gid == wanted.gid && (st.st_mode & 07777) == 0666) return;
  (void)!fchownat(AT_FDCWD, path.c_str(), wanted.uid, wanted.gid, AT_SYMLINK_NOFOLLOW);
  (void)!chmod(path.c_str(), 0666);
}

SocketServer::SocketServer(Features& features, int listen_fd, ServerLimits limits, ThreadStarter start_thread)
    : features_(features),
      listen_fd_(listen_fd),
      limits_(limits),
      start_thread_(std::move(start_thread)),
      connections_(static_cast<std::size_t>(std::max(limits.max_connections, 0)), Connection{this}) {
  for (auto& connection : connections_) free_.push_back(&connection);
}

void SocketServer::serve(const std::function<bool()>& keep_going) {
  auto backoff = limits_.accept_backoff;
  while (keep_going()) {
    Connection* connection = take_slot();
    int fd = accept_connection(listen_fd_);
    if (fd < 0) {
      int e = errno;
      give_slot(connection);
      if (e == EINTR || e == ECONNABORTED) continue;
      // Out of descriptors, the failure repeats at once: pause instead of spinning and
      // flooding standard error, and try again when a connection may have ended.
      features_.env.print_error_line("Accept failed: " + system_error_text(e));
      features_.env.sleep_for(backoff);
      backoff = std::min(backoff * 2, limits_.accept_backoff_max);
      continue;
    }
    backoff = limits_.accept_backoff;
    begin_connection();
    connection->fd = fd;
    if (!start_thread_(serve_connection, connection)) {
      // No thread to serve it: this client goes unanswered, the helper stays.
      close(fd);
      end_connection(connection);
      features_.env.sleep_for(limits_.accept_backoff);
    }
  }
}

void* SocketServer::serve_connection(void* slot) {
  auto* connection = static_cast<Connection*>(slot);
  connection->server->handle_client(connection->fd);
  connection->server->end_connection(connection);
  return nullptr;
}

void SocketServer::handle_client(int fd) {
  Env& env = features_.env;
  auto peer = env.peer_identity(fd);
  Result<std::uint32_t> peer_uid = peer ? Result<std::uint32_t>(peer->uid) : Result<std::uint32_t>(fail(peer.error()));
  if (auto reason = reject_reason(env, peer_uid)) {
    send_all_by(fd, rejection_response(env, *reason), Clock::now() + limits_.io_deadline);
    close(fd);
    return;
  }
  BoundedRead request = read_to_end_bounded(fd, limits_.max_request_bytes, Clock::now() + limits_.io_deadline);
  std::optional<std::string> response;
  switch (request.end) {
    case BoundedRead::End::kComplete:
      response = answer_request(features_, request.data, *peer);
      break;
    case BoundedRead::End::kTooLarge:
      // The rest is not kept (it is drained and dropped below): a client cannot make the helper
      // buffer without bound.
      response = too_large_response(limits_.max_request_bytes);
      break;
    case BoundedRead::End::kTimedOut:
      env.print_error_line("Read error: timed out after " + std::to_string(limits_.io_deadline.count()) + " ms");
      break;
    case BoundedRead::End::kFailed:
      env.print_error_line("Read error: " + request.error);
      break;
  }
  // A client that never reads its answer is dropped at the deadline; write errors are ignored.
  if (response) send_all_by(fd, *response, Clock::now() + limits_.io_deadline);
  if (request.end == BoundedRead::End::kTooLarge) discard_until_end(fd, Clock::now() + limits_.io_deadline);
  close(fd);
}

SocketServer::Connection* SocketServer::take_slot() {
  std::unique_lock lock(mu_);
  changed_.wait(lock, [this] { return !free_.empty(); });
  Connection* connection = free_.back();
  free_.pop_back();
  return connection;
}

void SocketServer::give_slot(Connection* connection) {
  {
    std::lock_guard lock(mu_);
    free_.push_back(connection);
  }
  changed_.notify_all();
}

void SocketServer::begin_connection() {
  // No lock: only a decrease can satisfy a waiter, and decreases notify under the lock.
  serving_.fetch_add(1);
}

void SocketServer::end_connection(Connection* connection) {
  // One step, notified under the lock: once wait_idle sees no connection, no thread of ours
  // touches the server again.
  std::lock_guard lock(mu_);
  --serving_;
  free_.push_back(connection);
  changed_.notify_all();
}

int SocketServer::connections() const {
  std::lock_guard lock(mu_);
  return serving_;
}

void SocketServer::wait_idle() const {
  std::unique_lock lock(mu_);
  changed_.wait(lock, [this] { return serving_ == 0; });
}

Monitor socket_owner_monitor(Env& env, std::string path) {
  // Its own pass, busy or idle: that bounds how long an earlier console owner's chmod can lock
  // the next one out, and leaves the accept loop one blocking call per client.
  return {kSocketOwnerCheckInterval, [&env, path = std::move(path)] {
            hand_socket_to_console_owner(env, path);
            return kSocketOwnerCheckInterval;
          }};
}

void serve_forever(Features& features, int listen_fd) {
  SocketServer server(features, listen_fd);
  for (;;) server.serve([] { return true; });
}

}  // namespace kivo
