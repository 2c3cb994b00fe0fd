#include "steering/steering_state.h"

#include <type_traits>

#include "base/json_record.h"
#include "split/custom_split_state.h"

namespace kivo {
namespace {

using protocol::HelperCustomSplitTrackedApp;
using TrackedApps = std::vector<HelperCustomSplitTrackedApp>;

// Whether a reader must find the field; a defaulted field keeps its default when absent.
enum class Presence { kRequired, kDefaulted };
constexpr Presence kRequired = Presence::kRequired;
constexpr Presence kDefaulted = Presence::kDefaulted;

// The field tables. `R` is the record, const for writing; `V` is called once per field in the
// order the fields are written.
template <class R, class V>
void diagnostics_fields(R& d, V& v) {
  // Files written here always carry every counter; older or hand-made ones may lack some.
  visit_packet_steering_diagnostics(d, [&](const char* name, auto& field) { v(name, field, kDefaulted); });
}

// The stage's configuration, in the engine record and in the cache: without it a cache cannot
// be matched to a stage, so in both it is required.
template <class R, class V>
void configuration_fields(R& r, V& v) {
  v("app_paths", r.app_paths, kRequired);
  v("routes", r.routes, kRequired);
  v("gateway", r.gateway, kRequired);
  v("ipv6_gateway", r.ipv6_gateway, kDefaulted);
  v("allow_lan", r.allow_lan, kRequired);
}

// What the engine learned from observations, which the cache carries across a restore.
template <class R, class V>
void learned_fields(R& r, V& v) {
  v("observed_destination_last_seen_at_ipv4", r.observed_destination_last_seen_at_ipv4, kDefaulted);
  v("observed_destination_last_seen_at_ipv6", r.observed_destination_last_seen_at_ipv6, kDefaulted);
  v("candidate_route_last_seen_at_ipv4", r.candidate_route_last_seen_at_ipv4, kDefaulted);
  v("candidate_route_last_seen_at_ipv6", r.candidate_route_last_seen_at_ipv6, kDefaulted);
  v("tunnel_destination_last_seen_at_ipv4", r.tunnel_destination_last_seen_at_ipv4, kDefaulted);
  v("tunnel_destination_last_seen_at_ipv6", r.tunnel_destination_last_seen_at_ipv6, kDefaulted);
}

template <class R, class V>
void state_fields(R& s, V& v) {
  configuration_fields(s, v);
  v("pid_generation", s.pid_generation, kRequired);
  v("tracked_apps", s.tracked_apps, kRequired);
  v("updated_at", s.updated_at, kRequired);
  v("diagnostics", s.diagnostics, kDefaulted);
  learned_fields(s, v);
  v("tunnel_flow_recycle_last_attempt_at_ipv4", s.tunnel_flow_recycle_last_attempt_at_ipv4, kDefaulted);
  v("tunnel_flow_recycle_last_attempt_at_ipv6", s.tunnel_flow_recycle_last_attempt_at_ipv6, kDefaulted);
  v("static_bypass_routes_ipv4", s.static_bypass_routes_ipv4, kDefaulted);
  v("static_bypass_routes_ipv6", s.static_bypass_routes_ipv6, kDefaulted);
  v("learned_bypass_routes_ipv4", s.learned_bypass_routes_ipv4, kDefaulted);
  v("learned_bypass_routes_ipv6", s.learned_bypass_routes_ipv6, kDefaulted);
  v("enforcement_ready_routes_ipv4", s.enforcement_ready_routes_ipv4, kDefaulted);
  v("enforcement_ready_routes_ipv6", s.enforcement_ready_routes_ipv6, kDefaulted);
  v("planned_bypass_routes_ipv4", s.planned_bypass_routes_ipv4, kDefaulted);
  v("planned_bypass_routes_ipv6", s.planned_bypass_routes_ipv6, kDefaulted);
  v("applied_bypass_routes_ipv4", s.applied_bypass_routes_ipv4, kDefaulted);
  v("applied_bypass_routes_ipv6", s.applied_bypass_routes_ipv6, kDefaulted);
  v("enforcement_plan_ready", s.enforcement_plan_ready, kDefaulted);
  v("enforcement_plan_revision", s.enforcement_plan_revision, kDefaulted);
  v("enforcement_plan_signature", s.enforcement_plan_signature, kDefaulted);
  v("enforcement_plan_last_updated_at", s.enforcement_plan_last_updated_at, kDefaulted);
  v("enforcement_plan_summary", s.enforcement_plan_summary, kDefaulted);
  v("engine_last_sync_at", s.engine_last_sync_at, kDefaulted);
  v("engine_last_error", s.engine_last_error, kDefaulted);
  v("last_tunnel_flow_recycle_count_ipv4", s.last_tunnel_flow_recycle_count_ipv4, kDefaulted);
  v("last_tunnel_flow_recycle_count_ipv6", s.last_tunnel_flow_recycle_count_ipv6, kDefaulted);
}

template <class R, class V>
void cache_fields(R& c, V& v) {
  configuration_fields(c, v);
  v("saved_at", c.saved_at, kDefaulted);
  learned_fields(c, v);
}

struct Writer {
  json::Out& out;
  void operator()(std::string_view key, const std::string& v, Presence) { out.str(key, v); }
  void operator()(std::string_view key, const std::optional<std::string>& v, Presence) { out.opt_str(key, v); }
  void operator()(std::string_view key, bool v, Presence) { out.boolean(key, v); }
  void operator()(std::string_view key, std::uint64_t v, Presence) { out.u64(key, v); }
  void operator()(std::string_view key, const std::optional<std::uint64_t>& v, Presence) { out.opt_u64(key, v); }
  void operator()(std::string_view key, const std::vector<std::string>& v, Presence) { out.str_list(key, v); }
  void operator()(std::string_view key, const LastSeenMap& v, Presence) { out.u64_map(key, v); }
  void operator()(std::string_view key, const TrackedApps& apps, Presence) { write_tracked_apps(out, key, apps); }
  void operator()(std::string_view key, const HelperPacketSteeringDiagnostics& d, Presence) {
    out.begin_object(key);
    diagnostics_fields(d, *this);
    out.end_object();
  }
};

Result<HelperPacketSteeringDiagnostics> read_diagnostics(const json::In& in);

// Reads fields in table order and keeps the first error, as the record's reader reports it.
struct Reader {
  const json::In& in;
  std::optional<Error> error;

  template <class T>
  void operator()(std::string_view key, T& field, Presence presence) {
    if (error) return;
    if (presence == kDefaulted && !in.has(key)) return;
    auto read = read_value<T>(key);
    if (read) field = std::move(*read);
    else error = fail(read.error());
  }

  template <class T>
  Result<T> read_value(std::string_view key) {
    if constexpr (std::is_same_v<T, std::string>) return in.str(key);
    else if constexpr (std::is_same_v<T, std::optional<std::string>>) return in.opt_str(key);
    else if constexpr (std::is_same_v<T, bool>) return in.boolean(key);
    else if constexpr (std::is_same_v<T, std::uint64_t>) return in.u64(key);
    else if constexpr (std::is_same_v<T, std::optional<std::uint64_t>>) return in.opt_u64(key);
    else if constexpr (std::is_same_v<T, std::vector<std::string>>) return in.str_list(key);
    else if constexpr (std::is_same_v<T, LastSeenMap>) return in.u64_map(key);
    else if constexpr (std::is_same_v<T, TrackedApps>) return read_tracked_apps(in, key);
    else {
      static_assert(std::is_same_v<T, HelperPacketSteeringDiagnostics>);
      KIVO_TRY(nested, in.object(key));
      return read_diagnostics(nested);
    }
  }
};

template <class T, class Fields>
Result<T> read_record(const json::In& in, Fields fields) {
  T record;
  Reader reader{in, std::nullopt};
  fields(record, reader);
  if (reader.error) return *reader.error;
  return record;
}

Result<HelperPacketSteeringDiagnostics> read_diagnostics(const json::In& in) {
  return read_record<HelperPacketSteeringDiagnostics>(in, [](auto& r, auto& v) { diagnostics_fields(r, v); });
}

template <class T, class Fields>
std::string write_record(const T& record, Fields fields) {
  json::Out out;
  Writer writer{out};
  out.begin_object();
  fields(record, writer);
  out.end_object();
  return out.take();
}

}  // namespace

std::string encode_packet_steering_state(const HelperPacketSteeringEngineState& state) {
  return write_record(state, [](auto& r, auto& v) { state_fields(r, v); });
}

Result<HelperPacketSteeringEngineState> decode_packet_steering_state(std::string_view text) {
  KIVO_TRY(in, json::In::parse(text));
  return read_record<HelperPacketSteeringEngineState>(in, [](auto& r, auto& v) { state_fields(r, v); });
}

std::string encode_packet_steering_cache(const PacketSteeringCacheState& cache) {
  return write_record(cache, [](auto& r, auto& v) { cache_fields(r, v); });
}

Result<PacketSteeringCacheState> decode_packet_steering_cache(std::string_view text) {
  KIVO_TRY(in, json::In::parse(text));
  return read_record<PacketSteeringCacheState>(in, [](auto& r, auto& v) { cache_fields(r, v); });
}

Result<HelperPacketSteeringEngineState> read_packet_steering_state(Env& env) {
  KIVO_TRY(text, env.read_file(kPacketSteeringStatePath));
  return decode_packet_steering_state(text);
}

Status save_packet_steering_state(Env& env, const HelperPacketSteeringEngineState& state) {
  return env.write_file_atomic(kPacketSteeringStatePath, encode_packet_steering_state(state));
}

Result<PacketSteeringCacheState> read_packet_steering_cache(Env& env) {
  KIVO_TRY(text, env.read_file(kPacketSteeringCachePath));
  return decode_packet_steering_cache(text);
}

Status save_packet_steering_cache(Env& env, const PacketSteeringCacheState& cache) {
  return env.write_file_atomic(kPacketSteeringCachePath, encode_packet_steering_cache(cache));
}

std::set<std::string> packet_steering_applied_route_set(Env& env) {
  auto state = read_packet_steering_state(env);
  if (!state) return {};
  std::set<std::string> routes(state->applied_bypass_routes_ipv4.begin(), state->applied_bypass_routes_ipv4.end());
  routes.insert(state->applied_bypass_routes_ipv6.begin(), state->applied_bypass_routes_ipv6.end());
  return routes;
}

}  // namespace kivo
