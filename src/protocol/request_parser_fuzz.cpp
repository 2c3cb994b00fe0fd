// Feeds arbitrary bytes to the request parser: it must never crash, and every refusal must carry
// the position the desktop client expects.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/helper_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto request = kivo::protocol::parse_request(text);
  if (!request.ok()) {
    const std::string& message = request.error();
    auto at = message.rfind(" at line ");
    if (at == std::string::npos || at == 0 || message.find(" column ", at) == std::string::npos) std::abort();
  }
  return 0;
}
