// The stand-in's VPN preferences: every profile and the state of its connection in one JSON
// file, shared by kivo-ne-manager processes and the stand-in tunnel provider. Each change is a
// read-change-write under a file lock, written atomically.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "kivo_ne_manager/network_extension.h"

namespace kivo::nem::standin {

struct StoredProfile {
  std::string id;
  bool per_app = false;
  std::string localized_description;
  bool enabled = false;
  std::optional<TunnelProviderProtocol> protocol;
  std::vector<AppRule> app_rules;
};

// What the provider reports; pid is the provider process that serves the connection.
struct ConnectionRecord {
  int status = kVpnDisconnected;
  long pid = 0;
};

struct Preferences {
  std::vector<StoredProfile> profiles;
  std::map<std::string, ConnectionRecord> connections;

  StoredProfile* find(const std::string& id);
};

std::string encode_preferences(const Preferences& prefs);
Result<Preferences> decode_preferences(std::string_view json);

class PreferencesStore {
 public:
  explicit PreferencesStore(std::string dir) : dir_(std::move(dir)) {}

  // Runs change on the current preferences with the store locked against every other process,
  // and writes them back when it succeeds and says they changed.
  Status update(const std::function<Result<bool>(Preferences&)>& change);
  Result<Preferences> read();

  // The description a test asked this framework call to fail with (faults.json in the store).
  std::optional<std::string> fault(std::string_view call) const;
  // Whether a test asked this call never to complete ("hang": [calls] in faults.json).
  bool hangs(std::string_view call) const;

  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace kivo::nem::standin
