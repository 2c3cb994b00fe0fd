// The tunnel record is read back after crashes and restarts, whatever the file holds.
#include "testing/record_fuzz.h"
#include "tunnel/runtime_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kivo::fuzz::check_record_round_trip(data, size, kivo::decode_runtime_state, kivo::encode_runtime_state);
  return 0;
}
