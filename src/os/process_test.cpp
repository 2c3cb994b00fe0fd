#include "os/process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "os/real_env.h"

namespace kivo {
namespace {

using namespace std::string_literals;

TEST(SpawnedChild, IsAliveUntilItExitsOrIsKilledOrReleased) {
  auto exited = spawn_process("sh", {"-c", "exit 0"});
  auto running = spawn_process("sleep", {"30"});
  ASSERT_TRUE(exited.ok() && running.ok());
  // An unreaped child still answers signal 0; the handle must not be fooled by that.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE((*exited)->is_alive());
  EXPECT_TRUE((*running)->is_alive());
  (*running)->kill();
  EXPECT_FALSE((*running)->is_alive());
  RealEnv env;
  EXPECT_FALSE(env.process_exists((*running)->pid()));

  // A released child keeps running and is reaped when it ends; chatty enough to fill a pipe if
  // nobody drained it.
  auto child = spawn_process("sh", {"-c", "head -c 200000 /dev/zero; sleep 0.3"});
  ASSERT_TRUE(child.ok());
  auto pid = (*child)->pid();
  ASSERT_TRUE((*child)->release().ok());
  EXPECT_TRUE(env.process_exists(pid));
  for (int i = 0; i < 100 && env.process_exists(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(env.process_exists(pid));
}

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

TEST(RealEnvFiles, AtomicWriteReplacesWholeWithPrivateModeAndNulBytesNameNothing) {
  RealEnv env;
  char dir[] = "/tmp/kivo-env-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/state.json";
  ASSERT_TRUE(env.write_file_atomic(path, "first").ok());
  ASSERT_TRUE(env.write_file_atomic(path, "second").ok());
  EXPECT_EQ(*env.read_file(path), "second");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(env.write_file_atomic(std::string(dir) + "/missing/x", "x").ok());
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
}

TEST(RealEnvClient, FilesAreReadAsTheClientAndProcessesKnownByOwnerAndProgram) {
  RealEnv env;
  char dir[] = "/tmp/kivo-client-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string secret = std::string(dir) + "/secret.conf", fifo = std::string(dir) + "/fifo";
  ASSERT_TRUE(env.write_file_atomic(secret, "[Interface]\n").ok());  // 0600, ours
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  const ClientIdentity self{static_cast<std::uint32_t>(geteuid()), static_cast<std::uint32_t>(getegid())};
  EXPECT_EQ(*env.read_file_as(self, secret, 64), "[Interface]\n");
  EXPECT_EQ(env.read_file_as(self, secret, 4).error(), "larger than 4 bytes");
  EXPECT_EQ(env.read_file_as(self, fifo, 64).error(), "not a regular file");  // at once, no writer needed
  if (geteuid() == 0) {
    // Another user cannot read root's 0600 file, nor search a 0700 folder: both look absent.
    const ClientIdentity user{501, 20};
    ASSERT_EQ(chmod(dir, 0700), 0);
    EXPECT_EQ(env.read_file_as(user, secret, 64).error(), "No such file or directory");
    EXPECT_FALSE(env.path_exists_as(user, secret));
    EXPECT_TRUE(env.path_exists_as(self, secret));
    // The thread is root again afterwards.
    EXPECT_TRUE(env.read_file(secret).ok());
  }
  EXPECT_EQ(env.process_owner(static_cast<std::uint32_t>(getpid())), static_cast<std::uint32_t>(getuid()));
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  EXPECT_EQ(env.process_executable(static_cast<std::uint32_t>(getpid())), std::string(exe));
  EXPECT_EQ(env.process_owner(0), std::nullopt);
  unlink(fifo.c_str());
  unlink(secret.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace kivo
