// The socket protocol between the desktop client and the helper: one externally tagged JSON
// request per connection, one JSON response.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/result.h"
#include "protocol/packet_steering_diagnostics.h"

namespace kivo::protocol {

struct HelperCustomSplitTrackedApp {
  std::string name;
  std::string exe_path;
  std::vector<std::uint32_t> active_pids;
  bool operator==(const HelperCustomSplitTrackedApp&) const = default;
};

// Requests, in declaration order.
struct GetStatus { bool operator==(const GetStatus&) const = default; };
struct StartTunnel {
  std::string config_path, client_ip, server_ip, gateway;
  bool operator==(const StartTunnel&) const = default;
};
struct ApplyDnsProxy { std::string dns_ip; bool operator==(const ApplyDnsProxy&) const = default; };
struct RestoreDnsProxy { bool operator==(const RestoreDnsProxy&) const = default; };
struct VerifyDnsProxy { std::string dns_ip; bool operator==(const VerifyDnsProxy&) const = default; };
struct SetQuicMitigation { bool enabled = false; bool operator==(const SetQuicMitigation&) const = default; };
struct VerifyQuicMitigation { bool operator==(const VerifyQuicMitigation&) const = default; };
struct ApplyKillSwitch { std::string server_ip; bool operator==(const ApplyKillSwitch&) const = default; };
struct RemoveKillSwitch { bool operator==(const RemoveKillSwitch&) const = default; };
struct VerifyKillSwitch { bool operator==(const VerifyKillSwitch&) const = default; };
struct ApplySplitBypass {
  std::vector<std::string> routes;
  std::string gateway;
  bool operator==(const ApplySplitBypass&) const = default;
};
struct RestoreSplitBypass { bool operator==(const RestoreSplitBypass&) const = default; };
struct VerifySplitBypass { bool operator==(const VerifySplitBypass&) const = default; };
struct StageCustomSplitEngine {
  std::vector<std::string> app_paths;
  std::vector<std::string> routes;
  std::string gateway;
  bool allow_lan = false;
  bool operator==(const StageCustomSplitEngine&) const = default;
};
struct UpdateCustomSplitEnginePids {
  std::uint64_t generation = 0;
  std::vector<HelperCustomSplitTrackedApp> apps;
  bool operator==(const UpdateCustomSplitEnginePids&) const = default;
};
struct RestoreCustomSplitEngine { bool operator==(const RestoreCustomSplitEngine&) const = default; };
struct VerifyCustomSplitEngine { bool operator==(const VerifyCustomSplitEngine&) const = default; };
struct StagePacketSteeringEngine {
  std::vector<std::string> app_paths;
  std::vector<std::string> routes;
  std::string gateway;
  bool allow_lan = false;
  bool operator==(const StagePacketSteeringEngine&) const = default;
};
struct UpdatePacketSteeringPids {
  std::uint64_t generation = 0;
  std::vector<HelperCustomSplitTrackedApp> apps;
  bool operator==(const UpdatePacketSteeringPids&) const = default;
};
struct RestorePacketSteeringEngine { bool operator==(const RestorePacketSteeringEngine&) const = default; };
struct VerifyPacketSteeringEngine { bool operator==(const VerifyPacketSteeringEngine&) const = default; };
struct VerifyTunnelDataPlane { bool operator==(const VerifyTunnelDataPlane&) const = default; };
struct StopTunnel { bool operator==(const StopTunnel&) const = default; };
struct Recover { bool operator==(const Recover&) const = default; };
struct Status { bool operator==(const Status&) const = default; };
struct Ping { bool operator==(const Ping&) const = default; };

using HelperRequest =
    std::variant<GetStatus, StartTunnel, ApplyDnsProxy, RestoreDnsProxy, VerifyDnsProxy, SetQuicMitigation,
                 VerifyQuicMitigation, ApplyKillSwitch, RemoveKillSwitch, VerifyKillSwitch, ApplySplitBypass,
                 RestoreSplitBypass, VerifySplitBypass, StageCustomSplitEngine, UpdateCustomSplitEnginePids,
                 RestoreCustomSplitEngine, VerifyCustomSplitEngine, StagePacketSteeringEngine,
                 UpdatePacketSteeringPids, RestorePacketSteeringEngine, VerifyPacketSteeringEngine,
                 VerifyTunnelDataPlane, StopTunnel, Recover, Status, Ping>;

// Parses one request; the error text follows serde_json's wording and positions, which the
// desktop client was written against.
Result<HelperRequest> parse_request(std::string_view text);

struct HelperFeatureSupport {
  bool tunnel = false;
  bool firewall = false;
  bool dns = false;
  bool split_tunnel = false;
  bool quic_mitigation = false;
  bool custom_split_engine = false;
  bool packet_steering_engine = false;
  bool operator==(const HelperFeatureSupport&) const = default;
};

// Responses, in declaration order.
namespace response {
struct Ok {};
struct Err {
  std::string code;
  std::string message;
};
struct RuntimeStatus {
  std::uint32_t protocol_version = 1;
  std::string runtime_stage = "privileged-ops-v1";
  bool ready_for_privileged_ops = false;
  HelperFeatureSupport supported_features;
};
struct Status {
  bool connected = false;
  std::string iface;
  std::uint32_t pid = 0;
};
struct DnsStatus {
  bool active = false;
  std::uint64_t configured_services = 0;
};
struct QuicMitigationStatus {
  bool enabled = false;
};
struct KillSwitchStatus {
  bool enabled = false;
};
struct SplitBypassStatus {
  bool active = false;
  std::uint64_t routes = 0;
};
struct CustomSplitEngineStatus {
  bool staged = false;
  bool active = false;
  std::uint64_t app_count = 0;
  std::uint64_t route_count = 0;
  std::uint64_t dynamic_routes = 0;
  std::optional<std::string> note;
};
struct PacketSteeringEngineStatus {
  bool staged = false;
  bool active = false;
  std::uint64_t app_count = 0;
  std::uint64_t route_count = 0;
  HelperPacketSteeringDiagnostics diagnostics;  // written flat, between route_count and note
  std::optional<std::string> note;
};
struct TunnelDataPlaneStatus {
  bool connected = false;
  std::string iface;
  std::uint64_t rx_bytes = 0;
  std::uint64_t tx_bytes = 0;
};
}  // namespace response

using HelperResponse =
    std::variant<response::Ok, response::Err, response::RuntimeStatus, response::Status, response::DnsStatus,
                 response::QuicMitigationStatus, response::KillSwitchStatus, response::SplitBypassStatus,
                 response::CustomSplitEngineStatus, response::PacketSteeringEngineStatus,
                 response::TunnelDataPlaneStatus>;

// Compact JSON, members in declaration order, absent optionals as null.
std::string encode_response(const HelperResponse& response);

// The error codes of Err responses.
namespace code {
inline constexpr std::string_view kUnauthorizedClient = "UnauthorizedClient";
inline constexpr std::string_view kParseError = "ParseError";
inline constexpr std::string_view kTunnelStartFailed = "TunnelStartFailed";
inline constexpr std::string_view kTeardownFailed = "TeardownFailed";
inline constexpr std::string_view kDnsApplyFailed = "DnsApplyFailed";
inline constexpr std::string_view kDnsRestoreFailed = "DnsRestoreFailed";
inline constexpr std::string_view kDnsVerifyFailed = "DnsVerifyFailed";
inline constexpr std::string_view kQuicMitigationSetFailed = "QuicMitigationSetFailed";
inline constexpr std::string_view kQuicMitigationVerifyFailed = "QuicMitigationVerifyFailed";
inline constexpr std::string_view kKillSwitchApplyFailed = "KillSwitchApplyFailed";
inline constexpr std::string_view kKillSwitchRemoveFailed = "KillSwitchRemoveFailed";
inline constexpr std::string_view kKillSwitchVerifyFailed = "KillSwitchVerifyFailed";
inline constexpr std::string_view kSplitBypassApplyFailed = "SplitBypassApplyFailed";
inline constexpr std::string_view kSplitBypassRestoreFailed = "SplitBypassRestoreFailed";
inline constexpr std::string_view kSplitBypassVerifyFailed = "SplitBypassVerifyFailed";
inline constexpr std::string_view kCustomSplitEngineStageFailed = "CustomSplitEngineStageFailed";
inline constexpr std::string_view kCustomSplitEnginePidUpdateFailed = "CustomSplitEnginePidUpdateFailed";
inline constexpr std::string_view kCustomSplitEngineRestoreFailed = "CustomSplitEngineRestoreFailed";
inline constexpr std::string_view kCustomSplitEngineVerifyFailed = "CustomSplitEngineVerifyFailed";
inline constexpr std::string_view kPacketSteeringEngineStageFailed = "PacketSteeringEngineStageFailed";
inline constexpr std::string_view kPacketSteeringEnginePidUpdateFailed = "PacketSteeringEnginePidUpdateFailed";
inline constexpr std::string_view kPacketSteeringEngineRestoreFailed = "PacketSteeringEngineRestoreFailed";
inline constexpr std::string_view kPacketSteeringEngineVerifyFailed = "PacketSteeringEngineVerifyFailed";
inline constexpr std::string_view kTunnelDataPlaneVerifyFailed = "TunnelDataPlaneVerifyFailed";
}  // namespace code

}  // namespace kivo::protocol
