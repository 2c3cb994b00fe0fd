// The Network Extension framework on Linux, for testing: profiles in the stand-in's preferences
// store, and a connection served by the stand-in tunnel provider (kivo-ne-provider), which runs
// a real WireGuard tunnel.
#pragma once

#include <string>

#include "kivo_ne_manager/network_extension.h"
#include "platform/network_extension/preferences_store.h"

namespace kivo::nem::standin {

inline constexpr const char* kDefaultStoreDir = "/var/run/kivo-ne-standin";
inline constexpr const char* kDefaultProvider = "kivo-ne-provider";

struct StandinSettings {
  std::string store_dir = kDefaultStoreDir;
  std::string provider_program = kDefaultProvider;  // found through PATH
  // $KIVO_NE_STANDIN_DIR and $KIVO_NE_PROVIDER over the defaults.
  static StandinSettings from_environment();
};

class StandinNetworkExtension final : public NetworkExtension {
 public:
  explicit StandinNetworkExtension(StandinSettings settings) : settings_(std::move(settings)) {}

  void load_all_from_preferences(ManagersLoaded done) override;
  ManagerRef make_manager() override;
  ManagerRef make_per_app_manager() override;
  void run_current_run_loop(std::chrono::steady_clock::time_point until) override;
  void dispatch_after(std::chrono::milliseconds delay, std::function<void()> block) override;

 private:
  StandinSettings settings_;
};

// Whether pid is a live stand-in provider (a zombie or a reused pid is not).
bool provider_alive(long pid);

}  // namespace kivo::nem::standin
