// `wg show IFACE transfer` output comes from a program the helper does not control.
#include <cstdlib>

#include "tunnel/data_plane.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view output(reinterpret_cast<const char*>(data), size);
  auto totals = kivo::parse_wg_transfer(output);
  if (!totals.ok() && totals.error().empty()) std::abort();
  return 0;
}
