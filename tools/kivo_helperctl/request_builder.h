// Turns what a person typed into one request text, checking every value before anything is
// sent. Pure: the apps of a snapshot arrive as text the caller has read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace kivo::helperctl {

// The values of the named options, by the request field each one fills.
struct RequestArgs {
  std::string config_path, client_ip, server_ip, gateway, dns_ip;
  std::vector<std::string> routes, app_paths;
  bool allow_lan = false;
  bool enabled = false;
  std::uint64_t generation = 0;
  std::string apps_json;  // a JSON array of {"name","exe_path","active_pids"} objects
};

// The option that fills a request field, as a person types it: config_path is --config.
std::string option_for_field(std::string_view field);

// The compact JSON of the request variant, built from the fields the helper's own request
// layout declares, after checking each; the text is then read back by the helper's parser,
// so what is sent is a request the helper accepts.
Result<std::string> build_request(std::string_view variant, const RequestArgs& args);

}  // namespace kivo::helperctl
