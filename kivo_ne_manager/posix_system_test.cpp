#include "kivo_ne_manager/posix_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kivo::nem {
namespace {

namespace fs = std::filesystem;

// Against the real file system and processes: the rule builder trusts these answers for every
// bundle it walks and every signature it reads.
TEST(PosixSystem, ListsVisibleEntriesInNameOrderAndFailsAProcessEndedByASignal) {
  fs::path root = fs::temp_directory_path() / ("kivo_posix_system_" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "b.app");
  std::ofstream(root / "Main") << "#!/bin/sh\n";
  std::ofstream(root / ".hidden") << "";
  fs::create_symlink(root / "Main", root / "a-link");
  PosixSystem system;

  auto entries = system.list_directory(root.string() + "/");
  ASSERT_TRUE(entries.ok()) << entries.error();
  std::vector<std::tuple<std::string, std::string, bool>> seen;
  for (const auto& e : *entries) seen.emplace_back(e.name, e.path, e.is_regular_file);
  std::string base = root.string() + "/";
  EXPECT_THAT(seen, ::testing::ElementsAre(std::tuple("Main", base + "Main", true),
                                           std::tuple("a-link", base + "a-link", false),
                                           std::tuple("b.app", base + "b.app", false)));
  EXPECT_EQ(system.resolve_symlinks(base + "a-link"), fs::canonical(root / "Main").string());
  EXPECT_EQ(system.resolve_symlinks(base + "gone/Main"), base + "gone/Main");  // unresolvable: itself
  EXPECT_TRUE(system.is_directory(base + "b.app"));
  EXPECT_FALSE(system.list_directory(base + "gone").ok());
  fs::remove_all(root);

  auto killed = system.run_process("/bin/sh", {"-c", "echo partial; kill -9 $$"});
  ASSERT_TRUE(killed.ok()) << killed.error();
  EXPECT_EQ(killed->exit_status, 128 + 9);
  EXPECT_EQ(killed->standard_output, "partial\n");
  EXPECT_EQ(system.run_process("/nonexistent/codesign", {}).error().rfind("Failed to launch /nonexistent/codesign: ", 0),
            0u);
}

}  // namespace
}  // namespace kivo::nem
