// Feeds arbitrary bytes to the readers of networksetup's output. Whatever the tool prints, no
// service name and no server may come out empty, padded or spanning lines, because each goes back
// to networksetup as one argument; and a disabled service (leading asterisk) is never configured.
// A carriage return inside a line is the tool's text and is passed on as such.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/text.h"
#include "dns/network_services.h"

namespace {

void check_one_argument(const std::string& word) {
  if (word.empty() || word.find('\n') != std::string::npos) std::abort();
  if (kivo::trim(word) != word) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& service : kivo::parse_network_services(text)) {
    check_one_argument(service);
    if (service.front() == '*') std::abort();
  }
  if (auto servers = kivo::parse_dns_servers(text)) {
    if (servers->empty()) std::abort();
    for (const auto& server : *servers) check_one_argument(server);
  }
  (void)kivo::is_missing_network_service_error(text);
  return 0;
}
