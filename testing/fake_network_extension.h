// A scripted platform for kivo-ne-manager's unit tests: the Network Extension framework with
// profiles in memory, and the operating system with a file tree, codesign outcomes and a clock
// that moves only when the run loop is served. Framework calls are recorded in order.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kivo_ne_manager/network_extension.h"
#include "kivo_ne_manager/system.h"

namespace kivo::nem::testing {

// The value of a result that must hold one; an error fails the test with its text.
template <class T>
T value_of(Result<T> result) {
  EXPECT_TRUE(result.ok()) << result.error();
  return result.ok() ? std::move(*result) : T{};
}

// A profile as the preferences hold it, with the state of its connection.
struct FakeRecord {
  std::string name;  // "p1", "p2", … in order of first save
  std::optional<TunnelProviderProtocol> protocol;
  std::vector<AppRule> app_rules;
  std::string localized_description;
  bool enabled = false;
  int status = kVpnDisconnected;
  bool tunnel_provider_session = true;  // false: a connection of another kind
  bool operator==(const FakeRecord&) const = default;
};

class FakePlatform final : public NetworkExtension, public System {
 public:
  using Clock = std::chrono::steady_clock;
  using ms = std::chrono::milliseconds;

  // -- the framework -------------------------------------------------------------------------
  // A stored profile of Kivo's provider (or of another, by bundle id); rules make it per-app.
  std::shared_ptr<FakeRecord> add_profile(int status = kVpnDisconnected, std::vector<AppRule> rules = {},
                                          std::string bundle_id = "com.brevandi.kivovpn.desktop.tunnel");
  std::vector<std::shared_ptr<FakeRecord>> stored;
  // Calls that fail, by name ("loadAll", "save", "load", "remove", "start"), with the description.
  std::map<std::string, std::string> faults;
  // Completions come this much later from the run loop; none: at once, on the caller's stack.
  std::optional<std::chrono::milliseconds> completion_delay;
  // How the connection goes down after a stop: disconnecting at once, disconnected this much later.
  std::chrono::milliseconds stop_takes{2500};
  // "loadAll", "new", "new per-app", "remove p1", "save p2", "load p2", "stop p1", "start p2".
  std::vector<std::string> calls;

  void load_all_from_preferences(ManagersLoaded done) override;
  ManagerRef make_manager() override { return new_manager("new"); }
  ManagerRef make_per_app_manager() override { return new_manager("new per-app"); }
  void run_current_run_loop(Clock::time_point until) override;
  void dispatch_after(ms delay, std::function<void()> fn) override { timers_.emplace(now_ + delay, std::move(fn)); }

  // -- the operating system -----------------------------------------------------------------
  std::optional<std::string> standard_input;  // none: reading it is a test failure
  // A folder (and the folders above it) in the tree.
  void add_directory(const std::string& path);
  // A regular file (or, with is_file false, something else, such as a broken link).
  void add_file(const std::string& path, bool is_file = true);
  // An application bundle whose executable Contents/MacOS/<executable> carries the signature;
  // an empty identifier leaves it unsigned. Returns the executable's path.
  std::string add_app(const std::string& bundle, const std::string& identifier, const std::string& executable = "Main");
  std::map<std::string, std::string> links;             // path -> what it resolves to
  std::map<std::string, ProcessOutput> codesign_outputs;  // by executable
  std::chrono::milliseconds codesign_takes{0};
  std::vector<std::string> processes_run;

  Clock::time_point now() override { return now_; }
  ms elapsed() const { return std::chrono::duration_cast<ms>(now_.time_since_epoch()); }
  void advance(std::chrono::milliseconds by) { run_current_run_loop(now_ + by); }
  Result<std::string> read_standard_input() override;
  Result<std::vector<DirectoryEntry>> list_directory(const std::string& path) override;
  bool is_directory(const std::string& path) override { return directories_.count(path) > 0; }
  std::string home_directory() override { return "/Users/kim"; }
  std::string resolve_symlinks(const std::string& path) override { return links.count(path) ? links[path] : path; }
  Result<ProcessOutput> run_process(const std::string& program, const std::vector<std::string>& args) override;

  // Completes now, or after the delay from the run loop.
  void complete(std::function<void()> done) {
    completion_delay ? dispatch_after(*completion_delay, std::move(done)) : done();
  }
  std::shared_ptr<FakeRecord> save_record(std::shared_ptr<FakeRecord> record, FakeRecord settings);

 private:
  ManagerRef new_manager(const std::string& call);
  Clock::time_point now_{};
  std::multimap<Clock::time_point, std::function<void()>> timers_;
  std::set<std::string> directories_;
  std::map<std::string, bool> nodes_;  // every file and folder: whether it is a regular file
  int next_record_ = 1;
};

}  // namespace kivo::nem::testing
