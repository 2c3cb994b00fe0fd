#include "server/socket_server.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <tuple>

#include "testing/fake_env.h"

namespace kivo {
namespace {

using namespace std::chrono_literals;

// A real socket in a temp dir, served on a thread with small limits once a test calls serve; the
// peer is root.
class SocketServerTest : public ::testing::Test {
 protected:
  void serve(ServerLimits limits, ThreadStarter starter = start_detached_thread) {
    ASSERT_NE(mkdtemp(dir_), nullptr);
    path_ = std::string(dir_) + "/helper.sock";
    auto fd = open_helper_socket(env, path_);
    ASSERT_TRUE(fd.ok()) << fd.error();
    listen_fd_ = *fd;
    server_ = std::make_unique<SocketServer>(features, listen_fd_, limits, std::move(starter));
    thread_ = std::thread([this] { server_->serve([this] { return running_.load(); }); });
  }
  void TearDown() override {
    if (!server_) return;
    running_ = false;
    close(connect_client());  // wakes the accept
    thread_.join();
    server_->wait_idle();
    close(listen_fd_);
    unlink(path_.c_str());
    rmdir(dir_);
  }
  int connect_client(std::string_view text = "") {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{.sun_family = AF_UNIX};
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    if (!text.empty()) send_text(fd, text);
    return fd;
  }
  static void send_text(int fd, std::string_view text) {
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
  }
  // Everything the helper sends until it closes.
  static std::string response(int fd) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
  }
  static bool readable_within(int fd, std::chrono::milliseconds wait) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(wait.count())) == 1;
  }

  testing::FakeEnv env;
  Features features{env};
  std::unique_ptr<SocketServer> server_;
  std::string path_;

 private:
  char dir_[32] = "/tmp/kivo-server-XXXXXX";
  int listen_fd_ = -1;
  std::thread thread_;
  std::atomic<bool> running_{true};
};

TEST_F(SocketServerTest, EachClientIsBoundedInSizeTimeAndNumberAndServingOutlivesAMissingThread) {
  // Shared, not a local: the accept loop outlives the test body until TearDown.
  auto starts = std::make_shared<std::atomic<int>>(0);
  serve({.max_request_bytes = 1024, .io_deadline = 1000ms, .max_connections = 2},
        [starts](ThreadEntry entry, void* argument) {
          return ++*starts != 1 && start_detached_thread(entry, argument);
        });
  // A connection without a thread is closed at once, before any request.
  EXPECT_EQ(response(connect_client()), "");
  // Exactly the cap is still a request.
  int at_cap = connect_client("\"Ping\"" + std::string(1024 - 6, ' '));
  shutdown(at_cap, SHUT_WR);
  EXPECT_NE(response(at_cap).find("\"Ok\""), std::string::npos);
  // The answer comes once the cap is passed, before the client ends its request; the rest is
  // dropped unread so that the client still gets to read the answer.
  int fd = connect_client("{\"ApplySplitBypass\":{\"routes\":[\"" + std::string(4096, '1'));
  EXPECT_TRUE(readable_within(fd, 5000ms));
  send_text(fd, std::string(4096, '1'));
  shutdown(fd, SHUT_WR);
  EXPECT_EQ(response(fd), R"({"Err":{"code":"ParseError","message":"request too large: the limit is 1024 bytes"}})");

  // Clients beyond the cap wait until one ends.
  int idle = connect_client(), stalled = connect_client("\"Pi");
  int waiting = connect_client("\"Ping\"");
  shutdown(waiting, SHUT_WR);
  EXPECT_FALSE(readable_within(waiting, 300ms));
  EXPECT_EQ(server_->connections(), 2);
  close(idle);  // an empty request: answered and ended
  EXPECT_TRUE(readable_within(waiting, 5000ms));
  EXPECT_EQ(response(waiting), "\"Ok\"");
  // A stalled client is dropped at the deadline without an answer.
  EXPECT_EQ(response(stalled), "");
  server_->wait_idle();
  EXPECT_EQ(env.stderr_lines, std::vector<std::string>{"Read error: timed out after 1000 ms"});
}

// Handing the socket to the console owner, and to the next one after the earlier owner locked
// it, is proven on the real helper by test_daemon.py.
TEST_F(SocketServerTest, SocketGoesBackToRootWhenNobodyHasTheConsole) {
  if (geteuid() != 0) GTEST_SKIP() << "handing a file to another user needs root";
  env.console_owner = FileOwner{501, 20};
  serve({});
  ASSERT_EQ(chmod(path_.c_str(), 0), 0);
  env.console_owner.reset();
  run_monitor_rounds(env, socket_owner_monitor(env, path_), 1);
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(std::make_tuple(st.st_uid, st.st_gid, st.st_mode & 07777), std::make_tuple(0u, 0u, 0666u));
  EXPECT_EQ(env.slept, kSocketOwnerCheckInterval);
}

TEST_F(SocketServerTest, AcceptFailuresBackOffInsteadOfSpinning) {
  SocketServer server(features, -1, {.accept_backoff = 50ms, .accept_backoff_max = 1000ms});
  int rounds = 0;
  server.serve([&] { return rounds++ < 7; });
  EXPECT_EQ(env.stderr_lines, std::vector<std::string>(7, "Accept failed: Bad file descriptor"));
  EXPECT_EQ(env.slept, 50ms + 100ms + 200ms + 400ms + 800ms + 1000ms + 1000ms);
  EXPECT_EQ(server.connections(), 0);
}

}  // namespace
}  // namespace kivo
