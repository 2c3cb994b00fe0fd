// The custom split engine's record is read by every request and monitor pass of the engine.
#include "split/custom_split_state.h"
#include "testing/record_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kivo::fuzz::check_record_round_trip(data, size, kivo::decode_custom_split_engine_state,
                                      kivo::encode_custom_split_engine_state);
  return 0;
}
