// Route entries arrive in requests from any local client and end up as arguments of `route`.
#include <cstdlib>
#include <string_view>

#include "base/ip.h"
#include "split/split_bypass.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view entry(reinterpret_cast<const char*>(data), size);
  if (auto route = kivo::parse_ipv4_route(entry)) {
    // A network is masked to its prefix; a host is a /32.
    if (route->prefix > 32 || (route->network & ~kivo::prefix_mask(route->prefix)) != 0 ||
        (route->is_host && route->prefix != 32))
      std::abort();
  }
  auto normalized = kivo::normalize_split_route(entry);
  if (!normalized.ok()) return 0;
  // Only digits, dots and one slash reach the command line, and the normal form is a fixed point.
  if (normalized->route.find_first_not_of("0123456789./") != std::string::npos) std::abort();
  auto again = kivo::normalize_split_route(normalized->route);
  if (!again.ok() || !(*again == *normalized)) std::abort();
  return 0;
}
