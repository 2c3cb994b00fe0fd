#include "os/descriptors.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kivo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Descriptors, AreBornCloseOnExec) {
  int pipe[2];
  ASSERT_TRUE(cloexec_pipe(pipe));
  std::string path = "/tmp/kivo-descriptors-XXXXXX";
  for (int fd : {pipe[0], pipe[1], cloexec_temp_file(path), stream_socket(AF_UNIX)}) {
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
  }
  unlink(path.c_str());
}

TEST(Descriptors, BoundedIoStopsAtTheCapTheDeadlineOrTheEnd) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  ASSERT_EQ(write(fds[1], "0123456789", 10), 10);
  auto capped = read_to_end_bounded(fds[0], 4, Clock::now() + 1s);
  EXPECT_EQ(capped.end, BoundedRead::End::kTooLarge);
  EXPECT_EQ(capped.data, "0123");
  auto stalled = read_to_end_bounded(fds[0], 100, Clock::now() + 100ms);
  EXPECT_EQ(stalled.end, BoundedRead::End::kTimedOut);
  EXPECT_EQ(stalled.data, "56789");  // one byte past the cap was read to know it was passed

  // Many reads' worth, whole and in order.
  std::string large(60000, 'x');
  large.back() = 'y';
  ASSERT_EQ(write(fds[1], large.data(), large.size()), static_cast<ssize_t>(large.size()));
  shutdown(fds[1], SHUT_WR);
  auto whole = read_to_end_bounded(fds[0], large.size(), Clock::now() + 1s);
  EXPECT_EQ(whole.end, BoundedRead::End::kComplete);
  EXPECT_EQ(whole.data, large);

  // A peer that never reads: the write gives up at the deadline.
  auto began = Clock::now();
  EXPECT_FALSE(send_all_by(fds[0], std::string(8 << 20, 'x'), began + 200ms));
  EXPECT_LT(Clock::now() - began, 5s);
  // A closed peer is a failure, not a SIGPIPE.
  close(fds[1]);
  EXPECT_FALSE(send_all_by(fds[0], "x", Clock::now() + 1s));
  close(fds[0]);
}

}  // namespace
}  // namespace kivo
