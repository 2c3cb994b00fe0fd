#include "route_forms.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace route {
namespace {

Exit usage() { return {kExitUsage, "usage: route [-dnqtv] command [[modifiers] args]\n"}; }
Exit bad_address(const std::string& text) { return {kExitBadAddress, "route: bad address: " + text + "\n"}; }

// "10.1.2.3" or "10.1.2.3/8"; no prefix means a host-length one, as BSD reads a bare -net.
std::optional<std::pair<Address, unsigned>> parse_network(const std::string& text) {
  auto slash = text.find('/');
  auto address = parse_address(text.substr(0, slash));
  if (!address) return std::nullopt;
  unsigned prefix = address->bits();
  if (slash != std::string::npos) {
    const char* first = text.data() + slash + 1;
    const char* last = text.data() + text.size();
    auto [end, ec] = std::from_chars(first, last, prefix);
    if (first == last || ec != std::errc() || end != last || prefix > address->bits()) return std::nullopt;
  }
  return std::pair{masked(*address, prefix), prefix};
}

// [-inet|-inet6] before the rest; true for -inet6.
bool take_family(std::vector<std::string>& args) {
  if (args.empty() || (args[0] != "-inet" && args[0] != "-inet6")) return false;
  bool inet6 = args[0] == "-inet6";
  args.erase(args.begin());
  return inet6;
}

std::variant<Request, Exit> parse_change(Verb verb, std::vector<std::string> args) {
  bool inet6 = take_family(args);
  if (args.size() < 2 || (args[0] != "-host" && args[0] != "-net")) return usage();
  bool host = args[0] == "-host";
  const std::string& dest_text = args[1];
  inet6 = inet6 || dest_text.find(':') != std::string::npos;
  Request r;
  r.verb = verb;
  r.family = inet6 ? AF_INET6 : AF_INET;
  auto network = host ? std::optional<std::pair<Address, unsigned>>() : parse_network(dest_text);
  if (host) {
    if (auto a = parse_address(dest_text)) network = std::pair{*a, a->bits()};
  }
  if (!network || network->first.family != r.family) return bad_address(dest_text);
  r.dest = network->first;
  r.prefix = network->second;
  // Apple's route echoes a network without its prefix length.
  r.echo = std::string(verb == Verb::kAdd ? "add" : "delete") + (host ? " host " : " net ") + to_string(*r.dest);

  std::vector<std::string> rest(args.begin() + 2, args.end());
  std::string label;
  if (rest.empty()) {
    if (verb != Verb::kDelete) return usage();
  } else if (rest.size() == 2 && rest[0] == "-interface") {
    r.device = label = rest[1];
    r.device_is_interface = true;
  } else if (rest.size() == 1 && rest[0][0] != '-') {
    // A link-local next hop carries its interface: fe80::1%en0.
    auto percent = rest[0].find('%');
    auto gateway = parse_address(rest[0].substr(0, percent));
    if (!gateway || gateway->family != r.family) return bad_address(rest[0]);
    r.gateway = gateway;
    if (percent != std::string::npos) r.device = rest[0].substr(percent + 1);
    label = rest[0];
  } else {
    return usage();
  }
  if (!label.empty()) r.echo += ": gateway " + label;
  return r;
}

std::variant<Request, Exit> parse_get(std::vector<std::string> args) {
  bool inet6 = take_family(args);
  if (args.size() != 1) return usage();
  Request r;
  r.target = args[0];
  if (r.target != "default") {
    r.dest = parse_address(r.target);
    if (!r.dest) return bad_address(r.target);
    inet6 = r.dest->family == AF_INET6;
  }
  r.family = inet6 ? AF_INET6 : AF_INET;
  return r;
}

std::string netmask(unsigned prefix) {
  uint32_t mask = prefix ? htonl(~uint32_t{0} << (32 - prefix)) : 0;
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &mask, text, sizeof text);
  return text;
}

}  // namespace

std::optional<Address> parse_address(const std::string& text) {
  Address a;
  if (inet_pton(AF_INET, text.c_str(), &a.bytes) == 1) return a;
  a.family = AF_INET6;
  if (inet_pton(AF_INET6, text.c_str(), &a.bytes) == 1) return a;
  return std::nullopt;
}

std::string to_string(const Address& a) {
  char text[INET6_ADDRSTRLEN];
  inet_ntop(a.family, &a.bytes, text, sizeof text);
  return text;
}

Address masked(Address a, unsigned prefix) {
  for (unsigned i = 0; i < 16; ++i) {
    unsigned keep = prefix > i * 8 ? std::min(prefix - i * 8, 8u) : 0;
    a.bytes.s6_addr[i] &= static_cast<uint8_t>(0xff00 >> keep);
  }
  return a;
}

std::variant<Request, Exit> parse(const std::vector<std::string>& argv) {
  std::vector<std::string> args(argv);
  while (!args.empty() && (args[0] == "-n" || args[0] == "-q" || args[0] == "-v" || args[0] == "-d" ||
                           args[0] == "-t"))
    args.erase(args.begin());
  if (args.empty()) return usage();
  std::string verb = args[0];
  args.erase(args.begin());
  if (verb == "add") return parse_change(Verb::kAdd, std::move(args));
  if (verb == "delete") return parse_change(Verb::kDelete, std::move(args));
  if (verb == "get") return parse_get(std::move(args));
  return usage();
}

std::string macos_reason(int error, const std::string& extack, bool deleting) {
  // A route through an interface that is gone cannot be in the table either.
  if (deleting && error == ENODEV) return "not in table";
  if (error == EEXIST) return "File exists";
  if (error == ESRCH) return "not in table";
  if (error == ENETUNREACH || extack.find("Nexthop has invalid gateway") != std::string::npos)
    return "Network is unreachable";
  std::string text = extack.empty() ? std::strerror(error) : extack;
  while (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

std::string format_get(const std::string& target, const Found& found) {
  std::string out = "   route to: " + target + "\n";
  std::string flags = "UP";
  bool host = false;
  if (!found.dest) {
    out += "destination: default\n       mask: default\n";
  } else {
    out += "destination: " + to_string(*found.dest) + "\n";
    host = found.prefix == found.dest->bits();
    if (!host)
      out += "       mask: " + (found.dest->family == AF_INET ? netmask(found.prefix) : std::to_string(found.prefix)) + "\n";
  }
  if (found.gateway) {
    std::string gateway = to_string(*found.gateway);
    if (gateway.starts_with("fe80:")) gateway += "%" + found.device;
    out += "    gateway: " + gateway + "\n";
    flags += ",GATEWAY";
  }
  if (host) flags += ",HOST";
  out += "  interface: " + (found.device.empty() ? std::string("lo0") : found.device) + "\n";
  out += "      flags: <" + flags + ",DONE,STATIC>\n";
  return out;
}

}  // namespace route
