#include "kivo_ne_manager/posix_system.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "os/process.h"

namespace kivo::nem {

std::chrono::steady_clock::time_point PosixSystem::now() { return std::chrono::steady_clock::now(); }

Result<std::string> PosixSystem::read_standard_input() {
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("Failed to read stdin: " + system_error_text(errno));
    if (n == 0) return data;
    data.append(buf, static_cast<size_t>(n));
  }
}

Result<std::vector<DirectoryEntry>> PosixSystem::list_directory(const std::string& path) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
  if (!dir) return fail(system_error_text(errno));
  std::string base = path.empty() || path.back() == '/' ? path : path + "/";
  std::vector<DirectoryEntry> entries;
  while (dirent* e = readdir(dir.get())) {
    std::string name = e->d_name;
    if (name.empty() || name.front() == '.') continue;  // hidden, and "." and ".."
    DirectoryEntry entry{name, base + name, false};
    struct stat st;
    entry.is_regular_file = lstat(entry.path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return entries;
}

bool PosixSystem::is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string PosixSystem::home_directory() {
  // The account's home, as the platform gives it, not whatever $HOME says.
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir) return pw->pw_dir;
  const char* home = std::getenv("HOME");
  return home ? home : "/";
}

std::string PosixSystem::resolve_symlinks(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved)) return resolved;
  return path;
}

Result<ProcessOutput> PosixSystem::run_process(const std::string& program, const std::vector<std::string>& args) {
  auto run = run_process_captured(program, args);
  if (!run) return fail("Failed to launch " + program + ": " + run.error());
  int status = run->exit.exited_normally ? run->exit.status : 128 + run->exit.status;
  return ProcessOutput{status, std::move(run->standard_output), std::move(run->standard_error)};
}

}  // namespace kivo::nem
