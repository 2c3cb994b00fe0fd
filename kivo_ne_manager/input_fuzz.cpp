// Feeds arbitrary bytes to everything kivo-ne-manager parses from outside: the payloads on
// standard input, codesign's output and the peer endpoint. None may crash; the error object
// must stay one JSON object whose every "/" is escaped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kivo_ne_manager/app_rules.h"
#include "kivo_ne_manager/payloads.h"
#include "kivo_ne_manager/tunnel_profiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  using namespace kivo::nem;
  if (auto connect = decode_connect_payload(text); !connect.ok()) {
    std::string failure = encode_failure(connect.error());
    if (failure.rfind(R"({"error":")", 0) != 0 || failure.back() != '}') std::abort();
  } else if (auto host = endpoint_host(connect->peer_endpoint); host && host->empty()) {
    std::abort();
  }
  (void)decode_app_rule_payload(text);
  auto reading = read_codesign_output(text);
  if (reading.signing_identifier && reading.signing_identifier->find('\n') != std::string::npos) std::abort();
  if (auto host = endpoint_host(text); host && (host->empty() || host->size() > text.size())) std::abort();
  return 0;
}
