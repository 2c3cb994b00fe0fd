#include "tools/kivo_helperctl/request_builder.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <charconv>
#include <limits>

#include "base/ip.h"
#include "base/json_record.h"
#include "protocol/helper_protocol.h"
#include "protocol/request_schema.h"

namespace kivo::helperctl {
namespace {

namespace schema = protocol::schema;

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// An address, or a network as address/prefix, of either family: what the route normaliser
// of the helper makes routes of.
bool is_route(std::string_view text) {
  auto slash = text.find('/');
  auto address = parse_ip_address(text.substr(0, slash));
  if (!address) return false;
  if (slash == std::string_view::npos) return true;
  std::string_view prefix = text.substr(slash + 1);
  unsigned bits = 0;
  auto [end, ec] = std::from_chars(prefix.data(), prefix.data() + prefix.size(), bits);
  return ec == std::errc() && end == prefix.data() + prefix.size() && !prefix.empty() &&
         bits <= (address->v6 ? 128u : 32u);
}

Result<std::string> text_field(std::string_view field, const RequestArgs& args) {
  const std::string* value = field == "config_path" ? &args.config_path
                             : field == "client_ip" ? &args.client_ip
                             : field == "server_ip" ? &args.server_ip
                             : field == "gateway"   ? &args.gateway
                             : field == "dns_ip"    ? &args.dns_ip
                                                    : nullptr;
  if (!value) return fail("no option fills the field " + std::string(field));
  if (value->empty()) return fail(option_for_field(field) + " is required");
  if (field != "config_path" && !is_ip_address(*value))
    return fail(option_for_field(field) + ": not an IP address: " + quoted(*value));
  return *value;
}

Result<std::vector<std::string>> list_field(std::string_view field, const RequestArgs& args) {
  if (field == "routes") {
    for (const auto& route : args.routes)
      if (!is_route(route)) return fail("not an address or a network (CIDR): " + quoted(route));
    return args.routes;
  }
  if (field == "app_paths") {
    for (const auto& path : args.app_paths)
      if (path.empty() || path[0] != '/') return fail("--app: not an absolute path: " + quoted(path));
    return args.app_paths;
  }
  return fail("no option fills the field " + std::string(field));
}

// The apps of a snapshot, checked element by element and written back compact.
Status write_apps(json::Out& out, std::string_view text) {
  rapidjson::Document doc;
  doc.Parse(text.data(), text.size());
  if (doc.HasParseError())
    return fail(std::string("apps: not JSON: ") + rapidjson::GetParseError_En(doc.GetParseError()) + " at offset " +
                std::to_string(doc.GetErrorOffset()));
  if (!doc.IsArray()) return fail("apps: expected a JSON array of {\"name\",\"exe_path\",\"active_pids\"} objects");
  out.begin_array("apps");
  for (rapidjson::SizeType i = 0; i < doc.Size(); ++i) {
    const auto& app = doc[i];
    std::string where = "apps[" + std::to_string(i) + "]";
    if (!app.IsObject()) return fail(where + ": expected an object");
    for (const char* key : {"name", "exe_path"})
      if (!app.HasMember(key) || !app[key].IsString()) return fail(where + ": " + key + " must be a string");
    if (!app.HasMember("active_pids") || !app["active_pids"].IsArray())
      return fail(where + ": active_pids must be a list of process ids");
    std::vector<std::uint32_t> pids;
    for (const auto& pid : app["active_pids"].GetArray()) {
      if (!pid.IsUint()) return fail(where + ": active_pids must be a list of process ids");
      pids.push_back(pid.GetUint());
    }
    out.begin_object()
        .str("name", app["name"].GetString())
        .str("exe_path", app["exe_path"].GetString())
        .u32_list("active_pids", pids)
        .end_object();
  }
  out.end_array();
  return {};
}

}  // namespace

std::string option_for_field(std::string_view field) {
  if (field == "config_path") return "--config";
  if (field == "app_paths") return "--app";
  if (field == "routes") return "ROUTE";
  std::string option = "--" + std::string(field);
  for (char& c : option)
    if (c == '_') c = '-';
  return option;
}

Result<std::string> build_request(std::string_view variant, const RequestArgs& args) {
  std::size_t index = schema::find_variant(variant);
  if (index == schema::variants().size()) return fail("no such request: " + std::string(variant));
  const schema::Type& type = *schema::variants()[index].type;
  if (type.shape == schema::Shape::kUnit) return "\"" + std::string(variant) + "\"";

  json::Out out;
  out.begin_object().begin_object(variant);
  for (const schema::FieldSpec& field : type.layout->fields) {
    switch (field.type->shape) {
      case schema::Shape::kString: {
        auto value = text_field(field.name, args);
        if (!value) return fail(value.error());
        out.str(field.name, *value);
        break;
      }
      case schema::Shape::kBool:
        out.boolean(field.name, field.name == "allow_lan" ? args.allow_lan : args.enabled);
        break;
      case schema::Shape::kU64:
        out.u64(field.name, args.generation);
        break;
      case schema::Shape::kList:
        if (field.type->element->shape == schema::Shape::kString) {
          auto values = list_field(field.name, args);
          if (!values) return fail(values.error());
          out.str_list(field.name, *values);
        } else if (auto written = write_apps(out, args.apps_json); !written) {
          return fail(written.error());
        }
        break;
      default:
        return fail("no option fills the field " + std::string(field.name));
    }
  }
  std::string text = out.end_object().end_object().take();
  if (auto parsed = protocol::parse_request(text); !parsed) return fail(parsed.error());
  return text;
}

}  // namespace kivo::helperctl
