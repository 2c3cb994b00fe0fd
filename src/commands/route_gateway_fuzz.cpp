// `route -n get` output: the gateway it names is handed to later route commands.
#include <cstdlib>

#include "base/text.h"
#include "commands/system_tools.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view output(reinterpret_cast<const char*>(data), size);
  if (auto gateway = kivo::parse_route_gateway(output)) {
    // One word, so it cannot smuggle a second argument into a route command.
    if (kivo::split_whitespace(*gateway).size() > 1) std::abort();
  }
  return 0;
}
