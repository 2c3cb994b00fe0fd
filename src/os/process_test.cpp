#include "os/process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

#include "os/real_env.h"

namespace kivo {
namespace {

using namespace std::string_literals;

TEST(RunProcess, ARunWithoutALimitOfItsOwnEndsAtTheBound) {
  const TimeLimit bound{0, 300000000};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run_process("sleep", {"20"}, std::nullopt, bound).error(), "sleep timed out after 300 ms");
  EXPECT_FALSE(probe_process("sleep", {"20"}, bound));
  // A descendant that keeps the pipes open holds the run no longer either; the output stays.
  EXPECT_EQ(*run_process("sh", {"-c", "echo out; sleep 3 &"}, std::nullopt, bound), "out\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(kToolRunBound.millis(), 30000u);
}

// The cases the helper does not stage. Records written whole with mode 0600 are every record check
// of the end-to-end tests (assert_record). Another user's view (unreadable configs and unsearchable
// folders look absent, a FIFO is refused at once, only the user's own processes count, the thread is
// root again after) is test_daemon.py's. Live, exited and killed children are test_tunnel.py's: a
// wireguard-go that dies at once, one killed after wg refused its config, one killed and reaped.
TEST(RealEnv, FilesForTheHelperAndForAClientProcessesByOwnerAndProgramAndAReleasedChild) {
  RealEnv env;
  char dir[] = "/tmp/kivo-env-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/wg0.conf";
  ASSERT_TRUE(env.write_file_atomic(path, "[Interface]\n").ok());
  EXPECT_FALSE(env.write_file_atomic(std::string(dir) + "/missing/x", "x").ok());
  const ClientIdentity self{static_cast<std::uint32_t>(geteuid()), static_cast<std::uint32_t>(getegid())};
  EXPECT_EQ(*env.read_file_as(self, path, 12), "[Interface]\n");
  EXPECT_EQ(env.read_file_as(self, path, 11).error(), "larger than 11 bytes");
  env.remove_file(path);
  env.remove_file(path);  // a second removal is quietly nothing
  EXPECT_FALSE(env.path_exists(path));
  rmdir(dir);

  // A path or argument with a NUL byte names nothing: the system would act on "/etc/hosts".
  const std::string cut = "/etc/hosts\0/../../var/run/x"s;
  EXPECT_FALSE(env.path_exists(cut));
  EXPECT_EQ(env.read_file(cut).error(), "No such file or directory");
  EXPECT_FALSE(env.file_owner(cut).has_value());
  EXPECT_FALSE(env.canonical_path(cut).ok());
  EXPECT_EQ(env.run_command("cat", {cut}, std::nullopt).error(), "Invalid argument");

  EXPECT_EQ(env.process_owner(static_cast<std::uint32_t>(getpid())), static_cast<std::uint32_t>(getuid()));
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  EXPECT_EQ(env.process_executable(static_cast<std::uint32_t>(getpid())), std::string(exe));
  EXPECT_EQ(env.process_owner(0), std::nullopt);

  // A released child keeps running with its output drained (chatty enough to fill a pipe if nobody
  // drained it), and is reaped when it ends.
  auto child = spawn_process("sh", {"-c", "head -c 200000 /dev/zero; sleep 0.3"});
  ASSERT_TRUE(child.ok());
  auto pid = (*child)->pid();
  ASSERT_TRUE((*child)->release().ok());
  EXPECT_TRUE(env.process_exists(pid));
  for (int i = 0; i < 100 && env.process_exists(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(env.process_exists(pid));
}

}  // namespace
}  // namespace kivo
