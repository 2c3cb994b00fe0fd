// The custom split record names the dynamic routes a restore deletes: whatever the reader
// accepts must come back unchanged through the writer.
#include "split/custom_split_state.h"
#include "testing/record_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kivo::fuzz::check_record_round_trip(data, size, kivo::decode_custom_split_engine_state,
                                      kivo::encode_custom_split_engine_state);
  return 0;
}
