#include "testing/fake_network_extension.h"

#include <algorithm>
#include <filesystem>

#include "base/text.h"

namespace kivo::nem::testing {
namespace {

std::string parent_of(const std::string& path) { return std::filesystem::path(path).parent_path(); }

// In memory until saved; load copies the stored settings back. Its connection is the stored
// profile's, so every manager loaded for one profile sees the same state.
class FakeManager final : public TunnelProviderManager,
                          public VpnConnection,
                          public std::enable_shared_from_this<FakeManager> {
 public:
  FakeManager(FakePlatform& platform, std::shared_ptr<FakeRecord> record)
      : platform_(platform), record_(std::move(record)), settings_(record_ ? *record_ : FakeRecord{}) {}
  std::optional<TunnelProviderProtocol> protocol_configuration() override { return settings_.protocol; }
  void set_protocol_configuration(const TunnelProviderProtocol& p) override { settings_.protocol = p; }
  void set_localized_description(const std::string& text) override { settings_.localized_description = text; }
  void set_enabled(bool enabled) override { settings_.enabled = enabled; }
  std::vector<AppRule> app_rules() override { return settings_.app_rules; }
  void set_app_rules(const std::vector<AppRule>& rules) override { settings_.app_rules = rules; }

  void save_to_preferences(Done done) override {
    finish("save", std::move(done), [this] { record_ = platform_.save_record(record_, settings_); });
  }
  void load_from_preferences(Done done) override {
    finish("load", std::move(done), [this] { settings_ = *record_; });
  }
  void remove_from_preferences(Done done) override {
    finish("remove", std::move(done), [this] { std::erase(platform_.stored, record_); });
  }
  VpnConnection& connection() override { return *this; }

  int status() override { return record_ ? record_->status : kVpnInvalid; }
  void stop_vpn_tunnel() override {
    platform_.calls.push_back("stop " + name());
    if (int s = status(); s != kVpnConnecting && s != kVpnConnected && s != kVpnReasserting) return;
    record_->status = kVpnDisconnecting;
    platform_.dispatch_after(platform_.stop_takes, [record = record_] { record->status = kVpnDisconnected; });
  }
  bool is_tunnel_provider_session() override { return !record_ || record_->tunnel_provider_session; }
  Status start_vpn_tunnel() override {
    platform_.calls.push_back("start " + name());
    if (auto fault = platform_.faults.find("start"); fault != platform_.faults.end()) return fail(fault->second);
    record_->status = kVpnConnecting;
    return {};
  }

 private:
  std::string name() const { return record_ ? record_->name : "new"; }
  // The completion holds the manager, so `work` may use it; a fault set for the call fails it instead.
  void finish(const std::string& call, Done done, std::function<void()> work) {
    platform_.calls.push_back(call + " " + name());
    platform_.complete([self = shared_from_this(), call, done = std::move(done), work = std::move(work)] {
      if (auto fault = self->platform_.faults.find(call); fault != self->platform_.faults.end())
        return done(fail(fault->second));
      work();
      done({});
    });
  }
  FakePlatform& platform_;
  std::shared_ptr<FakeRecord> record_;
  FakeRecord settings_;
};

}  // namespace

std::shared_ptr<FakeRecord> FakePlatform::add_profile(int status, std::vector<AppRule> rules, std::string bundle_id) {
  return save_record(nullptr, {.protocol = TunnelProviderProtocol{std::move(bundle_id)},
                               .app_rules = std::move(rules),
                               .enabled = true,
                               .status = status});
}

// A record saved again keeps its name and its connection's state; a removed one comes back new.
std::shared_ptr<FakeRecord> FakePlatform::save_record(std::shared_ptr<FakeRecord> record, FakeRecord settings) {
  bool kept = record && std::find(stored.begin(), stored.end(), record) != stored.end();
  settings.name = kept ? record->name : "p" + std::to_string(next_record_++);
  if (kept) settings.status = record->status;
  if (!kept) return stored.emplace_back(std::make_shared<FakeRecord>(std::move(settings)));
  *record = std::move(settings);
  return record;
}

void FakePlatform::load_all_from_preferences(ManagersLoaded done) {
  calls.push_back("loadAll");
  complete([this, done] {
    if (auto fault = faults.find("loadAll"); fault != faults.end()) return done(fail(fault->second));
    std::vector<ManagerRef> managers;
    for (auto& record : stored) managers.push_back(std::make_shared<FakeManager>(*this, record));
    done(std::move(managers));
  });
}

ManagerRef FakePlatform::new_manager(const std::string& call) {
  calls.push_back(call);
  return std::make_shared<FakeManager>(*this, nullptr);
}

void FakePlatform::run_current_run_loop(Clock::time_point until) {
  while (!timers_.empty() && timers_.begin()->first <= until) {
    auto next = timers_.extract(timers_.begin());
    now_ = std::max(now_, next.key());
    next.mapped()();
  }
  now_ = std::max(now_, until);
}

void FakePlatform::add_directory(const std::string& path) {
  if (path == "/") return;
  add_file(path, false);
  directories_.insert(path);
}

void FakePlatform::add_file(const std::string& path, bool is_file) {
  add_directory(parent_of(path));
  nodes_[path] = is_file;
}

std::string FakePlatform::add_app(const std::string& bundle, const std::string& identifier, const std::string& executable) {
  std::string path = bundle + "/Contents/MacOS/" + executable;
  add_file(path);
  if (!identifier.empty())
    codesign_outputs[path] = {0, "designated => identifier \"" + identifier + "\"\n", "Identifier=" + identifier + "\n"};
  return path;
}

Result<std::string> FakePlatform::read_standard_input() {
  if (!standard_input) ADD_FAILURE() << "standard input was read";
  return standard_input.value_or("");
}

// The paths of one folder's entries sort as their names do.
Result<std::vector<DirectoryEntry>> FakePlatform::list_directory(const std::string& path) {
  if (!directories_.count(path)) return fail("No such file or directory");
  std::vector<DirectoryEntry> entries;
  for (const auto& [node, is_file] : nodes_)
    if (parent_of(node) == path) entries.push_back({node.substr(node.rfind('/') + 1), node, is_file});
  return entries;
}

Result<ProcessOutput> FakePlatform::run_process(const std::string& program, const std::vector<std::string>& args) {
  processes_run.push_back(program + " " + join(args, " "));
  now_ += codesign_takes;
  auto it = codesign_outputs.find(args.back());
  if (it == codesign_outputs.end()) return ProcessOutput{1, "", args.back() + ": code object is not signed at all\n"};
  return it->second;
}

}  // namespace kivo::nem::testing
