// Feeds arbitrary bytes to the engine's state reader: it must never crash, and a record it
// accepts must survive being written and read again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "steering/steering_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto state = kivo::decode_packet_steering_state(text)) {
    auto again = kivo::decode_packet_steering_state(kivo::encode_packet_steering_state(*state));
    if (!again || !(*again == *state)) std::abort();
  }
  if (auto cache = kivo::decode_packet_steering_cache(text)) {
    auto again = kivo::decode_packet_steering_cache(kivo::encode_packet_steering_cache(*cache));
    if (!again || !(*again == *cache)) std::abort();
  }
  return 0;
}
