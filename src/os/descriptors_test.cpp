#include "os/descriptors.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kivo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool is_cloexec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

TEST(Descriptors, AreBornCloseOnExec) {
  int fds[2];
  ASSERT_TRUE(cloexec_pipe(fds));
  EXPECT_TRUE(is_cloexec(fds[0]) && is_cloexec(fds[1]));
  close(fds[0]), close(fds[1]);

  std::string path = "/tmp/kivo-descriptors-XXXXXX";
  int temp = cloexec_temp_file(path);
  ASSERT_GE(temp, 0);
  EXPECT_TRUE(is_cloexec(temp));
  close(temp);
  unlink(path.c_str());

  int listener = stream_socket(AF_UNIX);
  ASSERT_GE(listener, 0);
  EXPECT_TRUE(is_cloexec(listener));
  close(listener);
}

class BoundedIo : public ::testing::Test {
 protected:
  BoundedIo() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
  }
  ~BoundedIo() override { close(fds[0]), close(fds[1]); }
  int fds[2];
};

TEST_F(BoundedIo, ReadStopsAtTheCapTheDeadlineOrTheEnd) {
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
}

TEST_F(BoundedIo, WriteToAPeerThatNeverReadsGivesUpAtTheDeadline) {
  auto began = Clock::now();
  EXPECT_FALSE(send_all_by(fds[0], std::string(8 << 20, 'x'), began + 200ms));
  EXPECT_LT(Clock::now() - began, 5s);
  // A closed peer is a failure, not a SIGPIPE.
  close(fds[1]);
  fds[1] = socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_FALSE(send_all_by(fds[0], "x", Clock::now() + 1s));
}

}  // namespace
}  // namespace kivo
