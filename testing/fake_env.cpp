#include "testing/fake_env.h"

#include "base/text.h"

namespace kivo::testing {
namespace {

std::string command_line(const std::string& program, const std::vector<std::string>& args) {
  std::string line = program;
  for (const auto& a : args) line += " " + a;
  return line;
}

template <class Map, class Key>
std::optional<typename Map::mapped_type> lookup(const Map& map, const Key& key) {
  auto it = map.find(key);
  if (it == map.end()) return std::nullopt;
  return it->second;
}

class FakeChild final : public ChildProcess {
 public:
  FakeChild(FakeEnv& env, std::uint32_t pid) : env_(env), pid_(pid) {}
  std::uint32_t pid() const override { return pid_; }
  bool is_alive() override {
    if (env_.child_dies_after_probes == 0) env_.live_pids.erase(pid_);
    if (env_.child_dies_after_probes > 0) --env_.child_dies_after_probes;
    return env_.live_pids.count(pid_) > 0;
  }
  void kill() override {
    env_.record("SIGKILL " + std::to_string(pid_));
    env_.live_pids.erase(pid_);
  }
  Status release() override {
    env_.record("release " + std::to_string(pid_));
    return env_.release_fails ? Status(fail("Resource temporarily unavailable")) : Status();
  }

 private:
  FakeEnv& env_;
  std::uint32_t pid_;
};

}  // namespace

void FakeEnv::script(const std::string& line, std::vector<CommandResult> outcomes) {
  locked([&] { script_[line] = std::deque<CommandResult>(outcomes.begin(), outcomes.end()); });
}

std::vector<std::string> FakeEnv::commands() const { return locked([&] { return log_; }); }

std::vector<std::string> FakeEnv::commands_of(const std::string& program) const {
  auto lines = commands();
  std::erase_if(lines, [&](const std::string& line) { return line != program && !starts_with(line, program + " "); });
  return lines;
}

void FakeEnv::clear_commands() { locked([&] { log_.clear(); }); }

void FakeEnv::record(const std::string& line) { locked([&] { log_.push_back(line); }); }

CommandResult FakeEnv::answer(const std::string& line) {
  if (auto r = handler ? handler(line) : std::nullopt) return *r;
  std::lock_guard lock(mu_);
  auto it = script_.find(line);
  if (it == script_.end() || it->second.empty()) return std::string();
  CommandResult r = it->second.front();
  if (it->second.size() > 1) it->second.pop_front();
  return r;
}

CommandResult FakeEnv::run_command(const std::string& program, const std::vector<std::string>& args,
                                   std::optional<TimeLimit> limit) {
  std::string line = command_line(program, args);
  record(line);
  if (limit) locked([&] { limits_ms[line] = limit->millis(); });
  return answer(line);
}

Result<std::unique_ptr<ChildProcess>> FakeEnv::spawn_child(const std::string& program,
                                                           const std::vector<std::string>& args) {
  record("spawn " + command_line(program, args));
  if (spawn_fails) return fail("No such file or directory");
  std::uint32_t pid = next_pid++;
  live_pids.insert(pid);
  executables[pid] = program;
  return std::unique_ptr<ChildProcess>(std::make_unique<FakeChild>(*this, pid));
}

void FakeEnv::sleep_for(std::chrono::milliseconds duration) {
  slept += duration;
  monotonic += duration;
}

Result<std::string> FakeEnv::read_file(const std::string& path) {
  if (auto content = locked([&] { return lookup(files, path); })) return *content;
  return fail("No such file or directory");
}

Status FakeEnv::write_file_atomic(const std::string& path, std::string_view content) {
  std::lock_guard lock(mu_);
  if (failing_writes.count(path)) return fail("Read-only file system");
  files[path] = std::string(content);
  return {};
}

void FakeEnv::remove_file(const std::string& path) { locked([&] { files.erase(path); }); }

bool FakeEnv::path_exists(const std::string& path) {
  return locked([&] { return files.count(path) > 0 || existing_paths.count(path) > 0; });
}

Result<std::string> FakeEnv::canonical_path(const std::string& path) {
  if (auto resolved = lookup(canonical, path)) return *resolved;
  return fail("No such file or directory");
}

bool FakeEnv::tcp_probe(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit) {
  std::lock_guard lock(mu_);
  tcp_probes.push_back(host + ":" + std::to_string(port) + " within " + std::to_string(limit.count()) + " ms");
  return lookup(tcp_listeners, host + ":" + std::to_string(port)).value_or(false);
}

void FakeEnv::print_error_line(std::string_view line) { locked([&] { stderr_lines.emplace_back(line); }); }

Result<std::string> FakeEnv::read_file_as(const ClientIdentity& client, const std::string& path,
                                          std::size_t max_bytes) {
  if (!path_exists_as(client, path)) return fail("No such file or directory");
  if (special_files.count(path)) return fail("not a regular file");
  auto content = read_file(path);
  if (content && content->size() > max_bytes) return fail("larger than " + std::to_string(max_bytes) + " bytes");
  return content;
}

bool FakeEnv::path_exists_as(const ClientIdentity& client, const std::string& path) {
  std::lock_guard lock(mu_);
  return (client.is_root() || !root_only_paths.count(path)) && (path_exists(path) || special_files.count(path) > 0);
}

std::optional<std::uint32_t> FakeEnv::process_owner(std::uint32_t pid) {
  return locked([&] { return lookup(process_owners, pid); });
}

std::optional<std::string> FakeEnv::process_executable(std::uint32_t pid) {
  return locked([&] { return lookup(executables, pid); });
}

}  // namespace kivo::testing
