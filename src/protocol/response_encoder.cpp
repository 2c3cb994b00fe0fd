// Responses go out compact, members in declaration order, absent optionals as null.
#include <cstdint>
#include <type_traits>

#include "base/json_record.h"
#include "protocol/helper_protocol.h"

namespace kivo::protocol {
namespace {

class Encoder {
 public:
  void write(const response::Err& r) {
    open("Err");
    out_.str("code", r.code);
    out_.str("message", r.message);
  }
  void write(const response::RuntimeStatus& r) {
    open("RuntimeStatus");
    out_.u64("protocol_version", r.protocol_version);
    out_.str("runtime_stage", r.runtime_stage);
    out_.boolean("ready_for_privileged_ops", r.ready_for_privileged_ops);
    const HelperFeatureSupport& f = r.supported_features;
    out_.begin_object("supported_features");
    out_.boolean("tunnel", f.tunnel);
    out_.boolean("firewall", f.firewall);
    out_.boolean("dns", f.dns);
    out_.boolean("split_tunnel", f.split_tunnel);
    out_.boolean("quic_mitigation", f.quic_mitigation);
    out_.boolean("custom_split_engine", f.custom_split_engine);
    out_.boolean("packet_steering_engine", f.packet_steering_engine);
    out_.end_object();
  }
  void write(const response::Status& r) {
    open("Status");
    out_.boolean("connected", r.connected);
    out_.str("iface", r.iface);
    out_.u64("pid", r.pid);
  }
  void write(const response::DnsStatus& r) {
    open("DnsStatus");
    out_.boolean("active", r.active);
    out_.u64("configured_services", r.configured_services);
  }
  void write(const response::QuicMitigationStatus& r) {
    open("QuicMitigationStatus");
    out_.boolean("enabled", r.enabled);
  }
  void write(const response::KillSwitchStatus& r) {
    open("KillSwitchStatus");
    out_.boolean("enabled", r.enabled);
  }
  void write(const response::SplitBypassStatus& r) {
    open("SplitBypassStatus");
    out_.boolean("active", r.active);
    out_.u64("routes", r.routes);
  }
  void write(const response::CustomSplitEngineStatus& r) {
    open("CustomSplitEngineStatus");
    out_.boolean("staged", r.staged);
    out_.boolean("active", r.active);
    out_.u64("app_count", r.app_count);
    out_.u64("route_count", r.route_count);
    out_.u64("dynamic_routes", r.dynamic_routes);
    out_.opt_str("note", r.note);
  }
  void write(const response::PacketSteeringEngineStatus& r) {
    open("PacketSteeringEngineStatus");
    out_.boolean("staged", r.staged);
    out_.boolean("active", r.active);
    out_.u64("app_count", r.app_count);
    out_.u64("route_count", r.route_count);
    visit_packet_steering_diagnostics(r.diagnostics, [this](const char* name, const auto& field) {
      using Field = std::decay_t<decltype(field)>;
      if constexpr (std::is_same_v<Field, bool>)
        out_.boolean(name, field);
      else if constexpr (std::is_same_v<Field, std::uint64_t>)
        out_.u64(name, field);
      else
        out_.opt_str(name, field);
    });
    out_.opt_str("note", r.note);
  }
  void write(const response::TunnelDataPlaneStatus& r) {
    open("TunnelDataPlaneStatus");
    out_.boolean("connected", r.connected);
    out_.str("iface", r.iface);
    out_.u64("rx_bytes", r.rx_bytes);
    out_.u64("tx_bytes", r.tx_bytes);
  }

  std::string finish() {
    out_.end_object().end_object();
    return out_.take();
  }

 private:
  // Every response but Ok is {"Name":{members}}.
  void open(std::string_view variant) { out_.begin_object().begin_object(variant); }

  json::Out out_;
};

}  // namespace

std::string encode_response(const HelperResponse& response) {
  if (std::holds_alternative<response::Ok>(response)) return "\"Ok\"";
  Encoder encoder;
  std::visit([&](const auto& r) {
    if constexpr (!std::is_same_v<std::decay_t<decltype(r)>, response::Ok>) encoder.write(r);
  }, response);
  return encoder.finish();
}

}  // namespace kivo::protocol
