// The helper's listening socket and accept loop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/result.h"
#include "server/detached_thread.h"
#include "server/features.h"
#include "server/monitor.h"

namespace kivo {

inline constexpr const char* kSocketPath = "/var/run/com.kivovpn.helper.sock";

// What one local client can make the root daemon hold. Any local user may connect, and only
// the peer check stands between them and the helper's memory, threads and descriptors.
struct ServerLimits {
  // Far above the largest real request: 10,000 bypass routes are 0.17 MB, a PID update for 500
  // tracked apps with 100 processes each 0.42 MB.
  std::size_t max_request_bytes = 1 << 20;
  // For reading the whole request, and again for writing the whole response.
  std::chrono::milliseconds io_deadline{30000};
  // Connections served at once; further clients wait in the listen queue.
  int max_connections = 64;
  // Pause after a failed accept (descriptors exhausted, say), doubling up to the maximum.
  std::chrono::milliseconds accept_backoff{50};
  std::chrono::milliseconds accept_backoff_max{1000};
};

// How often the socket's owner is checked against the console's.
inline constexpr std::chrono::milliseconds kSocketOwnerCheckInterval{1000};

// Removes a stale socket file, binds, listens, hands the socket to the console's owner and opens
// it to everyone (the peer check guards it). Returns the listening descriptor or the fatal text.
Result<int> open_helper_socket(Env& env, const std::string& path);

// Gives the socket at path to the console's current owner (root when there is none) with mode
// 0666, when it is not so already: after the console changes hands the earlier owner could
// otherwise chmod it and lock the new console user out.
void hand_socket_to_console_owner(Env& env, const std::string& path);
// That check as a monitor of its own, so that the accept loop blocks in accept alone.
Monitor socket_owner_monitor(Env& env, std::string path);

class SocketServer {
 public:
  SocketServer(Features& features, int listen_fd, ServerLimits limits = {},
               ThreadStarter start_thread = start_detached_thread);
  // Accepts while keep_going() holds (asked before each accept), one thread per connection.
  void serve(const std::function<bool()>& keep_going);
  // Connections being served now.
  int connections() const;
  // Blocks until no connection is being served.
  void wait_idle() const;

 private:
  // What a connection's thread is handed: one per slot, reused, so starting it allocates nothing.
  struct Connection {
    SocketServer* server;
    int fd = -1;
  };
  static void* serve_connection(void* connection);
  void handle_client(int fd);
  Connection* take_slot();
  void give_slot(Connection* connection);
  void begin_connection();
  // Gives the slot back as well.
  void end_connection(Connection* connection);

  Features& features_;
  int listen_fd_;
  ServerLimits limits_;
  ThreadStarter start_thread_;
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  // One per slot, the accept loop's own (held while it waits) included.
  std::vector<Connection> connections_;
  std::vector<Connection*> free_;  // the slots not in use
  std::atomic<int> serving_ = 0;  // accepted connections not yet closed
};

// Accepts forever with the default limits.
[[noreturn]] void serve_forever(Features& features, int listen_fd);

}  // namespace kivo
