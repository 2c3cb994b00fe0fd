// The DNS record holds the user's own servers, which crash recovery puts back.
#include "dns/dns_state.h"
#include "testing/record_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kivo::fuzz::check_record_round_trip(data, size, kivo::decode_dns_state, kivo::encode_dns_state);
  return 0;
}
