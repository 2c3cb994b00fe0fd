// What kivo-ne-manager needs of the operating system besides the Network Extension framework:
// the clock, standard input, directory listings and running codesign. Injected, so that unit
// tests script every outcome and run the clock by hand.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "base/result.h"

namespace kivo::nem {

struct DirectoryEntry {
  std::string name;
  std::string path;
  bool is_regular_file = false;  // the entry itself, links not followed; false when unreadable
};

struct ProcessOutput {
  int exit_status = 0;  // non-zero also for a process ended by a signal
  std::string standard_output;
  std::string standard_error;
};

class System {
 public:
  virtual ~System() = default;
  virtual std::chrono::steady_clock::time_point now() = 0;
  virtual Result<std::string> read_standard_input() = 0;
  // Hidden entries skipped, in name order; an error when the directory cannot be listed.
  virtual Result<std::vector<DirectoryEntry>> list_directory(const std::string& path) = 0;
  // fileExistsAtPath:isDirectory: (links followed).
  virtual bool is_directory(const std::string& path) = 0;
  virtual std::string home_directory() = 0;
  // The path with symbolic links resolved; the path itself when it cannot be resolved.
  virtual std::string resolve_symlinks(const std::string& path) = 0;
  // Runs a program by its full path with both output streams drained while it runs; an error
  // when it cannot be started.
  virtual Result<ProcessOutput> run_process(const std::string& program, const std::vector<std::string>& args) = 0;
};

}  // namespace kivo::nem
