// route: the macOS routing tool's forms, carried out on the routing table of the current
// Linux network namespace. As on a Mac, a change or lookup the kernel refuses is reported
// on standard error ("route: writing to routing socket: File exists") and, for add and
// delete, echoed with the reason on standard output, and the run still exits 0.
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "route_forms.h"
#include "rtnl.h"

using namespace route;

namespace {

int refused(const std::string& reason, const std::string& echo) {
  std::fprintf(stderr, "route: writing to routing socket: %s\n", reason.c_str());
  if (!echo.empty()) std::printf("%s: %s\n", echo.c_str(), reason.c_str());
  return 0;
}

bool contains(const Found& entry, const Address& target) {
  if (!entry.dest) return true;
  Address covered = masked(target, entry.prefix);
  return entry.dest->family == target.family && std::memcmp(&covered.bytes, &entry.dest->bytes, sizeof covered.bytes) == 0;
}

int change(Rtnl& rtnl, const Request& r) {
  unsigned index = 0;
  if (!r.device.empty()) {
    index = if_nametoindex(r.device.c_str());
    // BSD route resolves the interface name first and gives up when there is none.
    if (!index && r.device_is_interface) {
      std::fprintf(stderr, "route: bad address: %s\n", r.device.c_str());
      return kExitBadAddress;
    }
    if (!index && r.verb == Verb::kAdd) return refused("Cannot find device \"" + r.device + "\"", r.echo);
  }
  Refusal refusal = rtnl.change(r, index);
  if (refusal.error) return refused(macos_reason(refusal.error, refusal.extack, r.verb == Verb::kDelete), r.echo);
  std::printf("%s\n", r.echo.c_str());
  return 0;
}

// The table entry that carries the target: `get default` reads the main table's default
// route (so the half-default routes do not hide the physical gateway); an address takes
// the kernel's own lookup for the next hop, and the longest main-table prefix holding it
// for the entry.
bool lookup(Rtnl& rtnl, const Request& r, Found& found) {
  Refusal refusal;
  if (!r.dest) {
    auto entries = rtnl.main_table(r.family, refusal);
    std::erase_if(entries, [](const Entry& e) { return e.found.dest || e.type != RTN_UNICAST; });
    if (entries.empty()) return false;
    found = std::min_element(entries.begin(), entries.end(),
                             [](const Entry& a, const Entry& b) { return a.metric < b.metric; })->found;
    return true;
  }
  Entry chosen;
  if (!rtnl.get(*r.dest, chosen, refusal) || (chosen.type != RTN_UNICAST && chosen.type != RTN_LOCAL)) return false;
  found = chosen.found;
  auto entries = rtnl.main_table(r.family, refusal);
  std::erase_if(entries, [&](const Entry& e) { return !contains(e.found, *r.dest); });
  if (std::any_of(entries.begin(), entries.end(), [&](const Entry& e) { return e.found.device == found.device; }))
    std::erase_if(entries, [&](const Entry& e) { return e.found.device != found.device; });
  auto longest = std::max_element(entries.begin(), entries.end(),
                                  [](const Entry& a, const Entry& b) { return a.found.prefix < b.found.prefix; });
  if (longest != entries.end()) {
    found.dest = longest->found.dest;
    found.prefix = longest->found.prefix;
  } else {
    found.dest = *r.dest;
    found.prefix = r.dest->bits();
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  auto parsed = parse(std::vector<std::string>(argv + 1, argv + argc));
  if (auto* exit = std::get_if<Exit>(&parsed)) {
    std::fputs(exit->error.c_str(), stderr);
    return exit->status;
  }
  const Request& r = std::get<Request>(parsed);
  Rtnl rtnl;
  if (!rtnl.ok()) {
    std::fprintf(stderr, "route: socket: %s\n", std::strerror(errno));
    return 1;
  }
  if (r.verb != Verb::kGet) return change(rtnl, r);
  Found found;
  if (!lookup(rtnl, r, found)) return refused("not in table", "");
  std::fputs(format_get(r.target, found).c_str(), stdout);
  return 0;
}
