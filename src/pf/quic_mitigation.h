// The QUIC block: outbound UDP to port 443 dropped, TCP to 443 left open.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "os/env.h"

namespace kivo {

inline constexpr const char* kQuicStatePath = "/var/run/com.kivovpn.helper.quic.state.json";

struct QuicRuntimeState {
  std::optional<std::string> token;
  std::uint64_t updated_at = 0;
  bool operator==(const QuicRuntimeState&) const = default;
};

std::string encode_quic_state(const QuicRuntimeState& state);
Result<QuicRuntimeState> decode_quic_state(std::string_view text);

// Whether pfctl's listing of the QUIC anchor holds the block rule. Pure.
bool quic_rule_listed(std::string_view show_output);

class QuicMitigation {
 public:
  explicit QuicMitigation(Env& env) : env_(env) {}
  Result<bool> apply_quic_mitigation();
  bool remove_quic_mitigation();
  Result<bool> verify_quic_mitigation();

 private:
  bool remove_locked();
  Result<bool> verify_locked();
  Env& env_;
  std::mutex mu_;
};

}  // namespace kivo
