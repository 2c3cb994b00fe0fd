// The kill switch: outbound traffic passes only on loopback, to the server and through the tunnel.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "os/env.h"

namespace kivo {

struct PfRuntimeState {
  std::optional<std::string> token;
  std::string server_ip;
  std::optional<std::string> iface;
  std::uint64_t updated_at = 0;
  bool operator==(const PfRuntimeState&) const = default;
};

std::string encode_pf_state(const PfRuntimeState& state);
Result<PfRuntimeState> decode_pf_state(std::string_view text);

class KillSwitch {
 public:
  explicit KillSwitch(Env& env) : env_(env) {}
  Status apply_kill_switch(const std::string& server_ip);
  Status remove_kill_switch();
  Result<bool> verify_kill_switch();

 private:
  Status remove_locked();
  Env& env_;
  std::mutex mu_;
};

}  // namespace kivo
