#include "platform/network_extension/standin_network_extension.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "os/process.h"

extern char** environ;

namespace kivo::nem {

std::unique_ptr<NetworkExtension> make_system_network_extension() {
  return std::make_unique<standin::StandinNetworkExtension>(standin::StandinSettings::from_environment());
}

namespace standin {
namespace {

bool is_running(int status) { return status == kVpnConnecting || status == kVpnConnected || status == kVpnReasserting; }

// The framework calls back on threads of its own, never on the caller's stack; a call a test
// asked to hang never calls back at all.
void on_framework_thread(const StandinSettings& settings, std::string_view call, std::function<void()> work) {
  if (PreferencesStore(settings.store_dir).hangs(call)) return;
  std::thread(std::move(work)).detach();
}

std::string new_profile_id() {
  std::random_device random;
  std::ostringstream id;
  id << std::hex;
  for (int i = 0; i < 4; ++i) id << random();
  return id.str();
}

// The provider runs in a session of its own: it outlives the manager that started it.
// `previous` is a provider still taking its tunnel down: the new one starts after it is gone,
// so that its teardown cannot remove the new tunnel's routes.
Result<long> spawn_provider(const StandinSettings& settings, const std::string& id, long previous) {
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::string log = settings.store_dir + "/provider.log";
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> args = {settings.provider_program, settings.store_dir, id};
  if (previous > 0) args.push_back(std::to_string(previous));
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, settings.provider_program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return fail(system_error_text(rc));
  // Reaped in the background, so that a provider that dies early is not kept as a zombie.
  std::thread([pid] {
    int status = 0;
    waitpid(pid, &status, 0);
  }).detach();
  return static_cast<long>(pid);
}

class StandinConnection final : public VpnConnection {
 public:
  StandinConnection(StandinSettings settings, std::shared_ptr<std::string> id)
      : settings_(std::move(settings)), store_(settings_.store_dir), id_(std::move(id)) {}

  int status() override {
    if (id_->empty()) return kVpnInvalid;
    int status = kVpnInvalid;
    auto read = store_.read();
    if (!read) return kVpnInvalid;
    if (!read->find(*id_)) return kVpnInvalid;
    auto it = read->connections.find(*id_);
    if (it == read->connections.end()) return kVpnDisconnected;
    status = it->second.status;
    // A provider that died cannot be serving the tunnel any more.
    if (status != kVpnDisconnected && !provider_alive(it->second.pid)) return kVpnDisconnected;
    return status;
  }

  void stop_vpn_tunnel() override {
    if (id_->empty()) return;
    (void)store_.update([&](Preferences& prefs) -> Result<bool> {
      auto it = prefs.connections.find(*id_);
      if (it == prefs.connections.end() || !(is_running(it->second.status))) return false;
      if (!provider_alive(it->second.pid)) {
        it->second = {kVpnDisconnected, 0};
        return true;
      }
      // The provider reports disconnected once its tunnel is down.
      it->second.status = kVpnDisconnecting;
      kill(static_cast<pid_t>(it->second.pid), SIGTERM);
      return true;
    });
  }

  bool is_tunnel_provider_session() override { return true; }

  Status start_vpn_tunnel() override {
    if (auto fault = store_.fault("startVPNTunnel")) return fail(*fault);
    if (id_->empty()) return fail("The VPN configuration is invalid.");
    return store_.update([&](Preferences& prefs) -> Result<bool> {
      auto* profile = prefs.find(*id_);
      if (!profile) return fail("The VPN configuration is invalid.");
      if (!profile->enabled) return fail("The VPN configuration is disabled.");
      auto& record = prefs.connections[*id_];
      bool alive = provider_alive(record.pid);
      if (is_running(record.status) && alive) return false;  // already on its way
      // A start while the last tunnel is still going down is honoured once it is down.
      long previous = record.status == kVpnDisconnecting && alive ? record.pid : 0;
      // Started under the lock: the provider reads its configuration only after this is written.
      KIVO_TRY(pid, spawn_provider(settings_, *id_, previous));
      record = {kVpnConnecting, pid};
      return true;
    });
  }

 private:
  StandinSettings settings_;
  PreferencesStore store_;
  std::shared_ptr<std::string> id_;
};

class StandinManager final : public TunnelProviderManager, public std::enable_shared_from_this<StandinManager> {
 public:
  StandinManager(StandinSettings settings, StoredProfile profile)
      : settings_(settings),
        store_(settings.store_dir),
        profile_(std::move(profile)),
        id_(std::make_shared<std::string>(profile_.id)),
        connection_(settings, id_) {}

  std::optional<TunnelProviderProtocol> protocol_configuration() override {
    std::lock_guard lock(mu_);
    return profile_.protocol;
  }
  void set_protocol_configuration(const TunnelProviderProtocol& protocol) override {
    std::lock_guard lock(mu_);
    profile_.protocol = protocol;
  }
  void set_localized_description(const std::string& text) override {
    std::lock_guard lock(mu_);
    profile_.localized_description = text;
  }
  void set_enabled(bool enabled) override {
    std::lock_guard lock(mu_);
    profile_.enabled = enabled;
  }
  std::vector<AppRule> app_rules() override {
    std::lock_guard lock(mu_);
    return profile_.app_rules;
  }
  void set_app_rules(const std::vector<AppRule>& rules) override {
    std::lock_guard lock(mu_);
    profile_.app_rules = rules;
  }

  void save_to_preferences(Done done) override {
    on_framework_thread(settings_, "saveToPreferences", [self = shared_from_this(), done = std::move(done)] { done(self->save()); });
  }
  void load_from_preferences(Done done) override {
    on_framework_thread(settings_, "loadFromPreferences", [self = shared_from_this(), done = std::move(done)] { done(self->load()); });
  }
  void remove_from_preferences(Done done) override {
    on_framework_thread(settings_, "removeFromPreferences", [self = shared_from_this(), done = std::move(done)] { done(self->remove()); });
  }
  VpnConnection& connection() override { return connection_; }

 private:
  Status save() {
    if (auto fault = store_.fault("saveToPreferences")) return fail(*fault);
    std::lock_guard lock(mu_);
    if (!profile_.protocol) return fail("Missing protocol or protocol has invalid type");
    if (profile_.id.empty()) profile_.id = new_profile_id();
    auto saved = store_.update([&](Preferences& prefs) -> Result<bool> {
      if (auto* stored = prefs.find(profile_.id)) *stored = profile_;
      else prefs.profiles.push_back(profile_);
      return true;
    });
    if (saved) *id_ = profile_.id;
    else if (id_->empty()) profile_.id.clear();
    return saved;
  }

  Status load() {
    if (auto fault = store_.fault("loadFromPreferences")) return fail(*fault);
    std::lock_guard lock(mu_);
    KIVO_TRY(prefs, store_.read());
    auto* stored = prefs.find(profile_.id);
    if (profile_.id.empty() || !stored) return fail("The VPN configuration could not be found.");
    profile_ = *stored;
    return {};
  }

  Status remove() {
    if (auto fault = store_.fault("removeFromPreferences")) return fail(*fault);
    std::lock_guard lock(mu_);
    return store_.update([&](Preferences& prefs) -> Result<bool> {
      auto* stored = prefs.find(profile_.id);
      if (profile_.id.empty() || !stored) return fail("The VPN configuration could not be found.");
      prefs.profiles.erase(prefs.profiles.begin() + (stored - prefs.profiles.data()));
      // A removed profile takes its tunnel down with it.
      if (auto it = prefs.connections.find(profile_.id); it != prefs.connections.end()) {
        if (is_running(it->second.status) && provider_alive(it->second.pid))
          kill(static_cast<pid_t>(it->second.pid), SIGTERM);
        prefs.connections.erase(it);
      }
      return true;
    });
  }

  std::mutex mu_;
  StandinSettings settings_;
  PreferencesStore store_;
  StoredProfile profile_;
  std::shared_ptr<std::string> id_;
  StandinConnection connection_;
};

}  // namespace

bool provider_alive(long pid) {
  if (pid <= 0 || kill(static_cast<pid_t>(pid), 0) != 0) return false;
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
  return text.find("kivo-ne-provider") != std::string::npos;
}

StandinSettings StandinSettings::from_environment() {
  StandinSettings settings;
  if (const char* dir = std::getenv("KIVO_NE_STANDIN_DIR"); dir && *dir) settings.store_dir = dir;
  if (const char* provider = std::getenv("KIVO_NE_PROVIDER"); provider && *provider) settings.provider_program = provider;
  return settings;
}

void StandinNetworkExtension::load_all_from_preferences(ManagersLoaded done) {
  on_framework_thread(settings_, "loadAllFromPreferences", [settings = settings_, done = std::move(done)] {
    PreferencesStore store(settings.store_dir);
    if (auto fault = store.fault("loadAllFromPreferences")) return done(fail(*fault));
    auto prefs = store.read();
    if (!prefs) return done(fail(prefs.error()));
    std::vector<ManagerRef> managers;
    for (auto& profile : prefs->profiles) managers.push_back(std::make_shared<StandinManager>(settings, profile));
    done(std::move(managers));
  });
}

ManagerRef StandinNetworkExtension::make_manager() { return std::make_shared<StandinManager>(settings_, StoredProfile{}); }

ManagerRef StandinNetworkExtension::make_per_app_manager() {
  StoredProfile profile;
  profile.per_app = true;
  return std::make_shared<StandinManager>(settings_, profile);
}

// Completions arrive on other threads; there is nothing to serve on this one but the wait.
void StandinNetworkExtension::run_current_run_loop(std::chrono::steady_clock::time_point until) {
  std::this_thread::sleep_until(until);
}

void StandinNetworkExtension::dispatch_after(std::chrono::milliseconds delay, std::function<void()> block) {
  std::thread([delay, block = std::move(block)] {
    std::this_thread::sleep_for(delay);
    block();
  }).detach();
}

}  // namespace standin
}  // namespace kivo::nem
