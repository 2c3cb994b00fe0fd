// One exchange with the helper: connect, write the request, half-close, read to end of stream.
#pragma once

#include <chrono>
#include <string>

#include "base/result.h"

namespace kivo::helperctl {

inline constexpr const char* kDefaultSocket = "/var/run/com.kivovpn.helper.sock";

// The answer's text, or why there is none (unreachable, timed out, closed without a word);
// `timeout` bounds the whole exchange, zero waits for ever.
Result<std::string> exchange(const std::string& socket_path, const std::string& request,
                             std::chrono::milliseconds timeout);

}  // namespace kivo::helperctl
