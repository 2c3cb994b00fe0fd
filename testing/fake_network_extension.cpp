#include "testing/fake_network_extension.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kivo::nem::testing {
namespace {

std::string parent_of(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

class FakeConnection final : public VpnConnection {
 public:
  FakeConnection(FakePlatform& platform, std::shared_ptr<FakeRecord>& record) : platform_(platform), record_(record) {}
  int status() override {
    platform_.status_reads.push_back(platform_.elapsed());
    return record_ ? record_->status : kVpnInvalid;
  }
  void stop_vpn_tunnel() override {
    platform_.calls.push_back("stop " + (record_ ? record_->name : "unsaved"));
    int s = record_ ? record_->status : kVpnInvalid;
    if (s != kVpnConnecting && s != kVpnConnected && s != kVpnReasserting) return;
    record_->status = kVpnDisconnecting;
    platform_.dispatch_after(platform_.stop_takes, [record = record_] { record->status = kVpnDisconnected; });
  }
  bool is_tunnel_provider_session() override { return !record_ || record_->tunnel_provider_session; }
  Status start_vpn_tunnel() override {
    platform_.calls.push_back("start " + (record_ ? record_->name : "unsaved"));
    if (auto it = platform_.faults.find("start"); it != platform_.faults.end()) return fail(it->second);
    if (!record_) return fail("The VPN configuration is invalid.");
    record_->status = kVpnConnecting;
    return {};
  }

 private:
  FakePlatform& platform_;
  std::shared_ptr<FakeRecord>& record_;
};

// In memory until saved; load copies the stored settings back.
class FakeManager final : public TunnelProviderManager, public std::enable_shared_from_this<FakeManager> {
 public:
  FakeManager(FakePlatform& platform, std::shared_ptr<FakeRecord> record, bool per_app_class)
      : platform_(platform), record_(std::move(record)), connection_(platform, record_) {
    if (record_) settings_ = *record_;
    settings_.per_app_class = per_app_class || settings_.per_app_class;
  }
  std::optional<TunnelProviderProtocol> protocol_configuration() override { return settings_.protocol; }
  void set_protocol_configuration(const TunnelProviderProtocol& p) override { settings_.protocol = p; }
  void set_localized_description(const std::string& text) override { settings_.localized_description = text; }
  void set_enabled(bool enabled) override { settings_.enabled = enabled; }
  std::vector<AppRule> app_rules() override { return settings_.app_rules; }
  void set_app_rules(const std::vector<AppRule>& rules) override { settings_.app_rules = rules; }

  void save_to_preferences(Done done) override {
    finish("save", std::move(done), [this]() -> Status {
      record_ = platform_.save_record(record_, settings_);
      return {};
    });
  }
  void load_from_preferences(Done done) override {
    finish("load", std::move(done), [this]() -> Status {
      if (!record_) return fail("The VPN configuration could not be found.");
      settings_ = *record_;
      return {};
    });
  }
  void remove_from_preferences(Done done) override {
    finish("remove", std::move(done), [this]() -> Status {
      auto& stored = platform_.stored;
      stored.erase(std::remove(stored.begin(), stored.end(), record_), stored.end());
      return {};
    });
  }
  VpnConnection& connection() override { return connection_; }

 private:
  std::string name() const { return record_ ? record_->name : "new"; }
  // The completion holds the manager, so `work` may use it; a fault set for the call fails it instead.
  void finish(const std::string& call, Done done, std::function<Status()> work) {
    platform_.calls.push_back(call + " " + name());
    platform_.complete([self = shared_from_this(), call, done = std::move(done), work = std::move(work)] {
      if (auto fault = self->platform_.faults.find(call); fault != self->platform_.faults.end())
        return done(fail(fault->second));
      done(work());
    });
  }
  FakePlatform& platform_;
  std::shared_ptr<FakeRecord> record_;
  FakeConnection connection_;
  FakeRecord settings_;
};

}  // namespace

std::shared_ptr<FakeRecord> FakePlatform::add_profile(int status, std::vector<AppRule> rules, std::string bundle_id) {
  auto record = save_record(nullptr, {.protocol = TunnelProviderProtocol{std::move(bundle_id)},
                                      .app_rules = std::move(rules),
                                      .enabled = true});
  record->status = status;
  return record;
}

std::shared_ptr<FakeRecord> FakePlatform::save_record(std::shared_ptr<FakeRecord> record, const FakeRecord& settings) {
  if (!record || std::find(stored.begin(), stored.end(), record) == stored.end()) {
    auto fresh = std::make_shared<FakeRecord>(settings);
    fresh->name = "p" + std::to_string(next_record_++);
    fresh->status = kVpnDisconnected;
    stored.push_back(fresh);
    return fresh;
  }
  std::string name = record->name;
  int status = record->status;
  *record = settings;
  record->name = name;
  record->status = status;
  return record;
}

void FakePlatform::complete(std::function<void()> done) {
  if (completion_delay) dispatch_after(*completion_delay, std::move(done));
  else done();
}

void FakePlatform::load_all_from_preferences(ManagersLoaded done) {
  calls.push_back("loadAll");
  complete([this, done] {
    if (auto fault = faults.find("loadAll"); fault != faults.end()) return done(fail(fault->second));
    std::vector<ManagerRef> managers;
    for (auto& record : stored) managers.push_back(std::make_shared<FakeManager>(*this, record, false));
    done(std::move(managers));
  });
}

ManagerRef FakePlatform::make_manager() {
  calls.push_back("new");
  return std::make_shared<FakeManager>(*this, nullptr, false);
}

ManagerRef FakePlatform::make_per_app_manager() {
  calls.push_back("new per-app");
  return std::make_shared<FakeManager>(*this, nullptr, true);
}

void FakePlatform::run_current_run_loop(Clock::time_point until) {
  while (!timers_.empty() && timers_.begin()->first <= until) {
    auto next = timers_.begin();
    now_ = std::max(now_, next->first);
    auto block = std::move(next->second);
    timers_.erase(next);
    block();
  }
  now_ = std::max(now_, until);
}

void FakePlatform::dispatch_after(std::chrono::milliseconds delay, std::function<void()> block) {
  timers_.emplace(now_ + delay, std::move(block));
}

void FakePlatform::add_directory(const std::string& path) {
  if (path == "/" || directories_.count(path)) return;
  add_directory(parent_of(path));
  directories_.insert(path);
  listings_[parent_of(path)].push_back({path.substr(path.rfind('/') + 1), path, false});
}

void FakePlatform::add_file(const std::string& path, bool is_file) {
  add_directory(parent_of(path));
  listings_[parent_of(path)].push_back({path.substr(path.rfind('/') + 1), path, is_file});
}

std::string FakePlatform::add_app(const std::string& bundle, const std::string& identifier, const std::string& executable) {
  std::string path = bundle + "/Contents/MacOS/" + executable;
  add_file(path);
  if (!identifier.empty())
    codesign_outputs[path] = {0, "designated => identifier \"" + identifier + "\"\n",
                              "Executable=" + path + "\nIdentifier=" + identifier + "\nFormat=app bundle\n"};
  return path;
}

Result<std::string> FakePlatform::read_standard_input() {
  ++stdin_reads;
  if (!standard_input) ADD_FAILURE() << "standard input was read";
  return standard_input.value_or("");
}

Result<std::vector<DirectoryEntry>> FakePlatform::list_directory(const std::string& path) {
  if (!directories_.count(path)) return fail("No such file or directory");
  auto entries = listings_[path];
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return entries;
}

std::string FakePlatform::resolve_symlinks(const std::string& path) {
  auto it = links.find(path);
  return it == links.end() ? path : it->second;
}

Result<ProcessOutput> FakePlatform::run_process(const std::string& program, const std::vector<std::string>& args) {
  std::string line = program;
  for (const auto& a : args) line += " " + a;
  processes_run.push_back(line);
  now_ += codesign_takes;
  auto it = codesign_outputs.find(args.back());
  if (it == codesign_outputs.end()) return ProcessOutput{1, "", args.back() + ": code object is not signed at all\n"};
  return it->second;
}

}  // namespace kivo::nem::testing
