// The macOS `route` command line and texts, with no I/O: what a run asks the kernel for,
// and how macOS words the answer.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace route {

inline constexpr int kExitUsage = 64;     // EX_USAGE
inline constexpr int kExitBadAddress = 68;  // EX_NOHOST, as BSD route gives up on an address

struct Address {
  int family = AF_INET;
  in6_addr bytes{};  // an IPv4 address in the first four bytes
  unsigned bits() const { return family == AF_INET ? 32 : 128; }
};

enum class Verb { kAdd, kDelete, kGet };

struct Request {
  Verb verb = Verb::kGet;
  int family = AF_INET;
  // add/delete: the masked destination; get: the target (none for "default").
  std::optional<Address> dest;
  unsigned prefix = 0;
  std::optional<Address> gateway;
  std::string device;  // "-interface IFACE", or the scope of a link-local gateway
  bool device_is_interface = false;
  std::string echo;    // "add net 10.1.0.0: gateway 10.9.0.254"
  std::string target;  // get: the target as typed
};

// How a run ends before it reaches the kernel.
struct Exit {
  int status;
  std::string error;  // for standard error, with its newline
};

std::variant<Request, Exit> parse(const std::vector<std::string>& args);

std::optional<Address> parse_address(const std::string& text);
std::string to_string(const Address& a);
Address masked(Address a, unsigned prefix);

// The word macOS prints for a refused change, from the kernel's errno and extended-ack text.
std::string macos_reason(int error, const std::string& extack, bool deleting);

// The routing-table entry a `get` found, as the kernel gave it.
struct Found {
  std::optional<Address> dest;  // none: the default route
  unsigned prefix = 0;
  std::optional<Address> gateway;
  std::string device;
};

std::string format_get(const std::string& target, const Found& found);

}  // namespace route
