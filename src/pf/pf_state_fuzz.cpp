// The kill switch's record holds the pf token that only it can release.
#include "pf/kill_switch.h"
#include "testing/record_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kivo::fuzz::check_record_round_trip(data, size, kivo::decode_pf_state, kivo::encode_pf_state);
  return 0;
}
