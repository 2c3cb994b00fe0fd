#include "kivo_ne_manager/payloads.h"

#include <cstdint>
#include <utility>

#include "base/json_record.h"

namespace kivo::nem {

Result<ConnectPayload> decode_connect_payload(std::string_view json) {
  auto in = json::In::parse(json);
  if (!in) return fail("Invalid connect payload: " + in.error());
  ConnectPayload p;
  struct Text {
    const char* key;
    std::string ConnectPayload::*field;
  };
  static constexpr Text kTexts[] = {
      {"privateKey", &ConnectPayload::private_key},      {"address", &ConnectPayload::address},
      {"dns", &ConnectPayload::dns},                     {"peerPublicKey", &ConnectPayload::peer_public_key},
      {"peerEndpoint", &ConnectPayload::peer_endpoint},  {"allowedIps", &ConnectPayload::allowed_ips},
  };
  for (const auto& t : kTexts) {
    auto v = in->str(t.key);
    if (!v) return fail("Invalid connect payload: " + v.error());
    p.*t.field = std::move(*v);
  }
  // The provider configuration holds signed 64-bit numbers, of which a count takes no negative.
  auto count = [&](const char* key) -> Result<std::optional<std::uint64_t>> {
    auto value = in->opt_u64(key);
    if (value ? *value && **value > static_cast<std::uint64_t>(INT64_MAX) : in->is_number(key))
      return fail(std::string("Invalid connect payload: field `") + key +
                  "` must be a whole number from 0 to 9223372036854775807");
    if (!value) return fail("Invalid connect payload: " + value.error());
    return *value;
  };
  auto mtu = count("mtu");
  if (!mtu) return fail(mtu.error());
  auto keepalive = count("keepaliveSeconds");
  if (!keepalive) return fail(keepalive.error());
  auto apps = in->str_list("excludedApps");
  if (!apps) return fail("Invalid connect payload: " + apps.error());
  p.mtu = *mtu;
  p.keepalive_seconds = *keepalive;
  p.excluded_apps = std::move(*apps);
  return p;
}

Result<AppRulePayload> decode_app_rule_payload(std::string_view json) {
  auto in = json::In::parse(json);
  if (!in) return fail("Invalid app rule payload: " + in.error());
  auto apps = in->str_list("excludedApps");
  if (!apps) return fail("Invalid app rule payload: " + apps.error());
  return AppRulePayload{std::move(*apps)};
}

std::string encode_status(const StatusPayload& s) {
  return json::Out()
      .begin_object()
      .boolean("configured", s.configured)
      .boolean("connected", s.connected)
      .boolean("connecting", s.connecting)
      .boolean("disconnecting", s.disconnecting)
      .str("status", s.status)
      .boolean("perAppMode", s.per_app_mode)
      .u64("appRuleCount", s.app_rule_count)
      .end_object()
      .take();
}

std::string encode_failure(std::string_view description) {
  std::string plain = json::Out().begin_object().str("error", description).end_object().take();
  // A "/" can only stand inside the one string, where "\/" is a valid escape.
  std::string escaped;
  escaped.reserve(plain.size() + 8);
  for (char c : plain) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace kivo::nem
