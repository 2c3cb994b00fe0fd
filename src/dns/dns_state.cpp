#include "dns/dns_state.h"

#include "base/json_record.h"

namespace kivo {

std::string encode_dns_state(const DnsRuntimeState& state) {
  json::Out out;
  out.begin_object().str("target_dns", state.target_dns).begin_array("services");
  for (const auto& backup : state.services)
    out.begin_object().str("service", backup.service).nullable_str_list("dns_servers", backup.dns_servers).end_object();
  return out.end_array().opt_str("pf_token", state.pf_token).u64("updated_at", state.updated_at).end_object().take();
}

Result<DnsRuntimeState> decode_dns_state(std::string_view text) {
  KIVO_TRY(in, json::In::parse(text));
  KIVO_TRY(target_dns, in.str("target_dns"));
  KIVO_TRY(entries, in.object_list("services"));
  std::vector<DnsServiceBackup> services;
  for (const auto& entry : entries) {
    KIVO_TRY(service, entry.str("service"));
    auto servers = entry.nullable_str_list("dns_servers");
    if (!servers) return fail(servers.error());
    services.push_back({std::move(service), *servers});
  }
  KIVO_TRY(pf_token, in.opt_str("pf_token"));
  KIVO_TRY(updated_at, in.u64("updated_at"));
  return DnsRuntimeState{std::move(target_dns), std::move(services), std::move(pf_token), updated_at};
}

Result<DnsRuntimeState> read_dns_state(Env& env) {
  auto text = env.read_file(kDnsStatePath);
  if (!text) return fail(text.error());
  return decode_dns_state(*text);
}

Status save_dns_state(Env& env, const DnsRuntimeState& state) {
  return env.write_file_atomic(kDnsStatePath, encode_dns_state(state));
}

void clear_dns_state(Env& env) { env.remove_file(kDnsStatePath); }

}  // namespace kivo
