#include "protocol/request_schema.h"

#include <iterator>
#include <utility>

namespace kivo::protocol::schema {
namespace {

template <class T>
T take(Value& value) {
  return std::get<T>(std::move(value));
}
std::string text(Value& value) { return take<std::string>(value); }
std::vector<std::string> texts(Value& value) { return take<std::vector<std::string>>(value); }
std::vector<HelperCustomSplitTrackedApp> apps(Value& value) {
  return take<std::vector<HelperCustomSplitTrackedApp>>(value);
}

constexpr Type kUnit{Shape::kUnit};
constexpr Type kString{Shape::kString};
constexpr Type kBool{Shape::kBool};
constexpr Type kU64{Shape::kU64};
constexpr Type kU32{Shape::kU32};
constexpr Type kStringList{Shape::kList, &kString};
constexpr Type kU32List{Shape::kList, &kU32};

constexpr FieldSpec kAppFields[] = {{"name", &kString}, {"exe_path", &kString}, {"active_pids", &kU32List}};
constexpr StructLayout kAppSpec{"struct HelperCustomSplitTrackedApp", kAppFields, [](std::vector<Value>& f) -> Value {
  return HelperCustomSplitTrackedApp{text(f[0]), text(f[1]), take<std::vector<std::uint32_t>>(f[2])};
}};
constexpr Type kApp{Shape::kStruct, nullptr, &kAppSpec};
constexpr Type kAppList{Shape::kList, &kApp};

constexpr FieldSpec kStartTunnelFields[] = {
    {"config_path", &kString}, {"client_ip", &kString}, {"server_ip", &kString}, {"gateway", &kString}};
constexpr FieldSpec kDnsFields[] = {{"dns_ip", &kString}};
constexpr FieldSpec kQuicFields[] = {{"enabled", &kBool}};
constexpr FieldSpec kKillSwitchFields[] = {{"server_ip", &kString}};
constexpr FieldSpec kSplitBypassFields[] = {{"routes", &kStringList}, {"gateway", &kString}};
constexpr FieldSpec kStageFields[] = {
    {"app_paths", &kStringList}, {"routes", &kStringList}, {"gateway", &kString}, {"allow_lan", &kBool}};
constexpr FieldSpec kPidFields[] = {{"generation", &kU64}, {"apps", &kAppList}};

constexpr StructLayout kStartTunnelSpec{
    "struct variant HelperRequest::StartTunnel", kStartTunnelFields, [](std::vector<Value>& f) -> Value {
      return HelperRequest{StartTunnel{text(f[0]), text(f[1]), text(f[2]), text(f[3])}};
    }};
constexpr StructLayout kApplyDnsSpec{"struct variant HelperRequest::ApplyDnsProxy", kDnsFields,
                                   [](std::vector<Value>& f) -> Value { return HelperRequest{ApplyDnsProxy{text(f[0])}}; }};
constexpr StructLayout kVerifyDnsSpec{"struct variant HelperRequest::VerifyDnsProxy", kDnsFields,
                                    [](std::vector<Value>& f) -> Value { return HelperRequest{VerifyDnsProxy{text(f[0])}}; }};
constexpr StructLayout kQuicSpec{"struct variant HelperRequest::SetQuicMitigation", kQuicFields,
                               [](std::vector<Value>& f) -> Value {
                                 return HelperRequest{SetQuicMitigation{take<bool>(f[0])}};
                               }};
constexpr StructLayout kKillSwitchSpec{
    "struct variant HelperRequest::ApplyKillSwitch", kKillSwitchFields,
    [](std::vector<Value>& f) -> Value { return HelperRequest{ApplyKillSwitch{text(f[0])}}; }};
constexpr StructLayout kSplitBypassSpec{
    "struct variant HelperRequest::ApplySplitBypass", kSplitBypassFields,
    [](std::vector<Value>& f) -> Value { return HelperRequest{ApplySplitBypass{texts(f[0]), text(f[1])}}; }};
constexpr StructLayout kStageCustomSpec{
    "struct variant HelperRequest::StageCustomSplitEngine", kStageFields, [](std::vector<Value>& f) -> Value {
      return HelperRequest{StageCustomSplitEngine{texts(f[0]), texts(f[1]), text(f[2]), take<bool>(f[3])}};
    }};
constexpr StructLayout kUpdateCustomSpec{
    "struct variant HelperRequest::UpdateCustomSplitEnginePids", kPidFields, [](std::vector<Value>& f) -> Value {
      return HelperRequest{UpdateCustomSplitEnginePids{take<std::uint64_t>(f[0]), apps(f[1])}};
    }};
constexpr StructLayout kStageSteeringSpec{
    "struct variant HelperRequest::StagePacketSteeringEngine", kStageFields, [](std::vector<Value>& f) -> Value {
      return HelperRequest{StagePacketSteeringEngine{texts(f[0]), texts(f[1]), text(f[2]), take<bool>(f[3])}};
    }};
constexpr StructLayout kUpdateSteeringSpec{
    "struct variant HelperRequest::UpdatePacketSteeringPids", kPidFields, [](std::vector<Value>& f) -> Value {
      return HelperRequest{UpdatePacketSteeringPids{take<std::uint64_t>(f[0]), apps(f[1])}};
    }};

constexpr Type kStartTunnel{Shape::kStruct, nullptr, &kStartTunnelSpec};
constexpr Type kApplyDns{Shape::kStruct, nullptr, &kApplyDnsSpec};
constexpr Type kVerifyDns{Shape::kStruct, nullptr, &kVerifyDnsSpec};
constexpr Type kQuic{Shape::kStruct, nullptr, &kQuicSpec};
constexpr Type kKillSwitch{Shape::kStruct, nullptr, &kKillSwitchSpec};
constexpr Type kSplitBypass{Shape::kStruct, nullptr, &kSplitBypassSpec};
constexpr Type kStageCustom{Shape::kStruct, nullptr, &kStageCustomSpec};
constexpr Type kUpdateCustom{Shape::kStruct, nullptr, &kUpdateCustomSpec};
constexpr Type kStageSteering{Shape::kStruct, nullptr, &kStageSteeringSpec};
constexpr Type kUpdateSteering{Shape::kStruct, nullptr, &kUpdateSteeringSpec};

constexpr VariantSpec kVariants[] = {
    {"GetStatus", &kUnit},
    {"StartTunnel", &kStartTunnel},
    {"ApplyDnsProxy", &kApplyDns},
    {"RestoreDnsProxy", &kUnit},
    {"VerifyDnsProxy", &kVerifyDns},
    {"SetQuicMitigation", &kQuic},
    {"VerifyQuicMitigation", &kUnit},
    {"ApplyKillSwitch", &kKillSwitch},
    {"RemoveKillSwitch", &kUnit},
    {"VerifyKillSwitch", &kUnit},
    {"ApplySplitBypass", &kSplitBypass},
    {"RestoreSplitBypass", &kUnit},
    {"VerifySplitBypass", &kUnit},
    {"StageCustomSplitEngine", &kStageCustom},
    {"UpdateCustomSplitEnginePids", &kUpdateCustom},
    {"RestoreCustomSplitEngine", &kUnit},
    {"VerifyCustomSplitEngine", &kUnit},
    {"StagePacketSteeringEngine", &kStageSteering},
    {"UpdatePacketSteeringPids", &kUpdateSteering},
    {"RestorePacketSteeringEngine", &kUnit},
    {"VerifyPacketSteeringEngine", &kUnit},
    {"VerifyTunnelDataPlane", &kUnit},
    {"StopTunnel", &kUnit},
    {"Recover", &kUnit},
    {"Status", &kUnit},
    {"Ping", &kUnit},
};
static_assert(std::size(kVariants) == std::variant_size_v<HelperRequest>);

template <std::size_t... I>
HelperRequest make_unit(std::size_t index, std::index_sequence<I...>) {
  HelperRequest request;
  ((I == index ? (void)request.emplace<I>() : void()), ...);
  return request;
}

}  // namespace

constexpr Type kSkippedType{Shape::kSkipped};

std::span<const VariantSpec> variants() { return kVariants; }

std::size_t find_variant(std::string_view name) {
  std::size_t index = 0;
  while (index < std::size(kVariants) && kVariants[index].name != name) ++index;
  return index;
}

const std::string& variant_names() {
  static const std::string names = [] {
    std::string out;
    for (const VariantSpec& variant : kVariants) {
      if (!out.empty()) out += ", ";
      out.append("`").append(variant.name).append("`");
    }
    return out;
  }();
  return names;
}

HelperRequest unit_request(std::size_t index) {
  return make_unit(index, std::make_index_sequence<std::variant_size_v<HelperRequest>>{});
}

std::string_view expecting(const Type& type) {
  switch (type.shape) {
    case Shape::kUnit: return "unit";
    case Shape::kString: return "a string";
    case Shape::kBool: return "a boolean";
    case Shape::kU64: return "u64";
    case Shape::kU32: return "u32";
    case Shape::kList: return "a sequence";
    case Shape::kStruct: return type.layout->expecting;
    case Shape::kSkipped: break;
  }
  return "any value";
}

Value empty_list(const Type& list) {
  switch (list.element->shape) {
    case Shape::kString: return std::vector<std::string>{};
    case Shape::kU32: return std::vector<std::uint32_t>{};
    default: return std::vector<HelperCustomSplitTrackedApp>{};
  }
}

void append(Value& list, Value&& element) {
  if (auto* strings = std::get_if<std::vector<std::string>>(&list)) {
    strings->push_back(take<std::string>(element));
  } else if (auto* pids = std::get_if<std::vector<std::uint32_t>>(&list)) {
    pids->push_back(static_cast<std::uint32_t>(take<std::uint64_t>(element)));
  } else {
    std::get<std::vector<HelperCustomSplitTrackedApp>>(list).push_back(take<HelperCustomSplitTrackedApp>(element));
  }
}

}  // namespace kivo::protocol::schema
