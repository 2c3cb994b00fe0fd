#include "steering/steering_applied_routes.h"

#include <rapidjson/document.h>

namespace kivo {
namespace {

using Value = rapidjson::Value;

const Value* member(const Value& object, const char* key) {
  auto it = object.FindMember(key);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

bool is_string_list(const Value* v) {
  if (!v || !v->IsArray()) return false;
  for (const auto& item : v->GetArray())
    if (!item.IsString()) return false;
  return true;
}

bool is_tracked_app(const Value& app) {
  if (!app.IsObject()) return false;
  const Value* name = member(app, "name");
  const Value* exe_path = member(app, "exe_path");
  const Value* pids = member(app, "active_pids");
  if (!name || !name->IsString() || !exe_path || !exe_path->IsString() || !pids || !pids->IsArray()) return false;
  for (const auto& pid : pids->GetArray())
    if (!pid.IsUint()) return false;
  return true;
}

bool is_tracked_app_list(const Value* v) {
  if (!v || !v->IsArray()) return false;
  for (const auto& app : v->GetArray())
    if (!is_tracked_app(app)) return false;
  return true;
}

// Absent lists read as empty; present ones must be lists of strings.
bool add_optional_list(const Value& record, const char* key, std::set<std::string>& out) {
  const Value* list = member(record, key);
  if (!list) return true;
  if (!is_string_list(list)) return false;
  for (const auto& item : list->GetArray()) out.emplace(item.GetString(), item.GetStringLength());
  return true;
}

}  // namespace

std::optional<std::set<std::string>> parse_steering_applied_routes(std::string_view text) {
  rapidjson::Document doc;
  doc.Parse(text.data(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) return std::nullopt;

  const Value* gateway = member(doc, "gateway");
  const Value* allow_lan = member(doc, "allow_lan");
  const Value* generation = member(doc, "pid_generation");
  const Value* updated_at = member(doc, "updated_at");
  bool is_record = is_string_list(member(doc, "app_paths")) && is_string_list(member(doc, "routes")) &&
                   gateway && gateway->IsString() && allow_lan && allow_lan->IsBool() && generation &&
                   generation->IsUint64() && is_tracked_app_list(member(doc, "tracked_apps")) && updated_at &&
                   updated_at->IsUint64();
  if (!is_record) return std::nullopt;

  std::set<std::string> applied;
  if (!add_optional_list(doc, "applied_bypass_routes_ipv4", applied) ||
      !add_optional_list(doc, "applied_bypass_routes_ipv6", applied))
    return std::nullopt;
  return applied;
}

std::set<std::string> read_steering_applied_routes(Env& env) {
  auto text = env.read_file(kPacketSteeringStatePath);
  if (!text) return {};
  return parse_steering_applied_routes(*text).value_or(std::set<std::string>());
}

}  // namespace kivo
