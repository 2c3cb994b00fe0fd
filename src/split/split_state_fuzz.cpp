// The split bypass record names the routes a restore deletes; its entries go back through the
// normaliser, so that is fed too.
#include "split/split_bypass.h"
#include "testing/record_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kivo::fuzz::check_record_round_trip(data, size, kivo::decode_split_state, kivo::encode_split_state);
  if (auto state = kivo::decode_split_state({reinterpret_cast<const char*>(data), size})) {
    for (const auto& entry : state->routes) {
      auto route = kivo::normalize_split_route(entry);
      // A normalised entry is its own normal form.
      if (route.ok()) {
        auto again = kivo::normalize_split_route(route->route);
        if (!again.ok() || !(*again == *route)) std::abort();
      }
    }
  }
  return 0;
}
