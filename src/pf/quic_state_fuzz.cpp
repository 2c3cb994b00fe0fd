// The QUIC block's record holds the pf token that only it can release.
#include "pf/quic_mitigation.h"
#include "testing/record_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kivo::fuzz::check_record_round_trip(data, size, kivo::decode_quic_state, kivo::encode_quic_state);
  return 0;
}
