#include "commands/system_tools.h"

#include "base/text.h"

namespace kivo {
namespace route_args {

Args get_default() { return {"-n", "get", "default"}; }
Args get_default_inet6() { return {"-n", "get", "-inet6", "default"}; }
Args add_host(const std::string& host, const std::string& gateway) { return {"add", "-host", host, gateway}; }
Args delete_host(const std::string& host, const std::string& gateway) { return {"delete", "-host", host, gateway}; }
Args add_net_interface(const std::string& route, const std::string& iface) {
  return {"add", "-net", route, "-interface", iface};
}
Args delete_net_interface(const std::string& route, const std::string& iface) {
  return {"delete", "-net", route, "-interface", iface};
}
Args delete_net(const std::string& route) { return {"delete", "-net", route}; }

namespace {
Args numeric(const char* verb, const std::string& route, const std::string& gateway, bool is_host, bool inet6) {
  Args args{"-n", verb};
  if (inet6) args.push_back("-inet6");
  args.push_back(is_host ? "-host" : "-net");
  args.push_back(route);
  args.push_back(gateway);
  return args;
}
}  // namespace

Args numeric_add(const std::string& route, const std::string& gateway, bool is_host, bool inet6) {
  return numeric("add", route, gateway, is_host, inet6);
}
Args numeric_delete(const std::string& route, const std::string& gateway, bool is_host, bool inet6) {
  return numeric("delete", route, gateway, is_host, inet6);
}
Args get(const std::string& target, bool inet6) {
  if (inet6) return {"-n", "get", "-inet6", target};
  return {"-n", "get", target};
}

}  // namespace route_args

std::optional<std::string> parse_route_gateway(std::string_view output) {
  for (std::string_view line : split_lines(output)) {
    line = trim(line);
    if (!starts_with(line, "gateway:")) continue;
    auto words = split_whitespace(line);
    return words.size() > 1 ? std::string(words[1]) : std::string();
  }
  return std::nullopt;
}

CommandResult route_outcome(CommandResult result) {
  const std::string& text = result ? *result : result.error();
  for (std::string_view line : split_lines(text))
    if (contains(line, "writing to routing socket:")) return fail(std::string(trim(line)));
  return result;
}

namespace pfctl_args {

Args info() { return {"-s", "info"}; }
Args load(const std::string& anchor, const std::string& file) { return {"-a", anchor, "-f", file}; }
Args enable() { return {"-E"}; }
Args release(const std::string& token) { return {"-X", token}; }
Args flush(const std::string& anchor) { return {"-a", anchor, "-F", "all"}; }
Args show(const std::string& anchor, const std::string& kind) { return {"-a", anchor, "-s", kind}; }
Args kill_states(const std::string& host, bool inet6) {
  return {"-k", inet6 ? "::/0" : "0.0.0.0/0", "-k", host};
}

}  // namespace pfctl_args
}  // namespace kivo
