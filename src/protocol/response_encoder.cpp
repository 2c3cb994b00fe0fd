// Responses go out compact, members in declaration order, absent optionals as null.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/text.h"
#include "protocol/helper_protocol.h"

namespace kivo::protocol {
namespace {

class Encoder {
 public:
  Encoder() : writer_(buffer_) { buffer_.Reserve(128); }

  void write(const response::Err& r) {
    open("Err");
    str("code", r.code);
    str("message", r.message);
  }
  void write(const response::RuntimeStatus& r) {
    open("RuntimeStatus");
    u64("protocol_version", r.protocol_version);
    str("runtime_stage", r.runtime_stage);
    boolean("ready_for_privileged_ops", r.ready_for_privileged_ops);
    key("supported_features");
    const HelperFeatureSupport& f = r.supported_features;
    writer_.StartObject();
    boolean("tunnel", f.tunnel);
    boolean("firewall", f.firewall);
    boolean("dns", f.dns);
    boolean("split_tunnel", f.split_tunnel);
    boolean("quic_mitigation", f.quic_mitigation);
    boolean("custom_split_engine", f.custom_split_engine);
    boolean("packet_steering_engine", f.packet_steering_engine);
    writer_.EndObject();
  }
  void write(const response::Status& r) {
    open("Status");
    boolean("connected", r.connected);
    str("iface", r.iface);
    u64("pid", r.pid);
  }
  void write(const response::DnsStatus& r) {
    open("DnsStatus");
    boolean("active", r.active);
    u64("configured_services", r.configured_services);
  }
  void write(const response::QuicMitigationStatus& r) {
    open("QuicMitigationStatus");
    boolean("enabled", r.enabled);
  }
  void write(const response::KillSwitchStatus& r) {
    open("KillSwitchStatus");
    boolean("enabled", r.enabled);
  }
  void write(const response::SplitBypassStatus& r) {
    open("SplitBypassStatus");
    boolean("active", r.active);
    u64("routes", r.routes);
  }
  void write(const response::CustomSplitEngineStatus& r) {
    open("CustomSplitEngineStatus");
    boolean("staged", r.staged);
    boolean("active", r.active);
    u64("app_count", r.app_count);
    u64("route_count", r.route_count);
    u64("dynamic_routes", r.dynamic_routes);
    opt_str("note", r.note);
  }
  void write(const response::PacketSteeringEngineStatus& r) {
    open("PacketSteeringEngineStatus");
    boolean("staged", r.staged);
    boolean("active", r.active);
    u64("app_count", r.app_count);
    u64("route_count", r.route_count);
    opt_str("observation_source", r.observation_source);
    u64("tracked_processes", r.tracked_processes);
    u64("active_excluded_flows_ipv4", r.active_excluded_flows_ipv4);
    u64("active_excluded_flows_ipv6", r.active_excluded_flows_ipv6);
    u64("tunnel_excluded_flows_ipv4", r.tunnel_excluded_flows_ipv4);
    u64("tunnel_excluded_flows_ipv6", r.tunnel_excluded_flows_ipv6);
    u64("observed_public_destinations_ipv4", r.observed_public_destinations_ipv4);
    u64("observed_public_destinations_ipv6", r.observed_public_destinations_ipv6);
    u64("candidate_bypass_routes_ipv4", r.candidate_bypass_routes_ipv4);
    u64("candidate_bypass_routes_ipv6", r.candidate_bypass_routes_ipv6);
    u64("static_bypass_routes_ipv4", r.static_bypass_routes_ipv4);
    u64("static_bypass_routes_ipv6", r.static_bypass_routes_ipv6);
    u64("learned_bypass_routes_ipv4", r.learned_bypass_routes_ipv4);
    u64("learned_bypass_routes_ipv6", r.learned_bypass_routes_ipv6);
    u64("first_hit_gap_routes_ipv4", r.first_hit_gap_routes_ipv4);
    u64("first_hit_gap_routes_ipv6", r.first_hit_gap_routes_ipv6);
    u64("enforcement_ready_routes_ipv4", r.enforcement_ready_routes_ipv4);
    u64("enforcement_ready_routes_ipv6", r.enforcement_ready_routes_ipv6);
    u64("planned_bypass_routes_ipv4", r.planned_bypass_routes_ipv4);
    u64("planned_bypass_routes_ipv6", r.planned_bypass_routes_ipv6);
    u64("applied_bypass_routes_ipv4", r.applied_bypass_routes_ipv4);
    u64("applied_bypass_routes_ipv6", r.applied_bypass_routes_ipv6);
    u64("route_drift_routes_ipv4", r.route_drift_routes_ipv4);
    u64("route_drift_routes_ipv6", r.route_drift_routes_ipv6);
    u64("stale_pid_snapshots", r.stale_pid_snapshots);
    boolean("enforcement_plan_ready", r.enforcement_plan_ready);
    u64("enforcement_plan_revision", r.enforcement_plan_revision);
    opt_str("enforcement_plan_summary", r.enforcement_plan_summary);
    opt_str("note", r.note);
  }
  void write(const response::TunnelDataPlaneStatus& r) {
    open("TunnelDataPlaneStatus");
    boolean("connected", r.connected);
    str("iface", r.iface);
    u64("rx_bytes", r.rx_bytes);
    u64("tx_bytes", r.tx_bytes);
  }
  void write(const response::Ok&) {}

  std::string finish() {
    writer_.EndObject();
    writer_.EndObject();
    return std::string(buffer_.GetString(), buffer_.GetSize());
  }

 private:
  // Every response but Ok is {"Name":{members}}.
  void open(std::string_view variant) {
    writer_.StartObject();
    key(variant);
    writer_.StartObject();
  }
  void key(std::string_view name) { writer_.Key(name.data(), static_cast<rapidjson::SizeType>(name.size())); }
  void text(std::string_view value) {
    // Messages carry tool output, which need not be UTF-8; the client's parser rejects invalid UTF-8.
    std::string repaired;
    if (!is_valid_utf8(value)) value = repaired = utf8_lossy(value);
    writer_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  }
  void str(std::string_view name, std::string_view value) {
    key(name);
    text(value);
  }
  void opt_str(std::string_view name, const std::optional<std::string>& value) {
    key(name);
    if (value) {
      text(*value);
    } else {
      writer_.Null();
    }
  }
  void boolean(std::string_view name, bool value) {
    key(name);
    writer_.Bool(value);
  }
  void u64(std::string_view name, std::uint64_t value) {
    key(name);
    writer_.Uint64(value);
  }

  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

}  // namespace

std::string encode_response(const HelperResponse& response) {
  if (std::holds_alternative<response::Ok>(response)) return "\"Ok\"";
  Encoder encoder;
  std::visit([&](const auto& r) { encoder.write(r); }, response);
  return encoder.finish();
}

}  // namespace kivo::protocol
