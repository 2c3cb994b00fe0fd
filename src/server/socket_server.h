// The helper's listening socket and accept loop.
#pragma once

#include <string>

#include "base/result.h"
#include "server/features.h"

namespace kivo {

inline constexpr const char* kSocketPath = "/var/run/com.kivovpn.helper.sock";

// Removes a stale socket file, binds, listens, hands the socket to the console's owner and opens
// it to everyone (the peer check guards it). Returns the listening descriptor or the fatal text.
Result<int> open_helper_socket(Env& env, const std::string& path);

// Accepts forever; one detached thread per connection.
[[noreturn]] void serve_forever(Features& features, int listen_fd);

}  // namespace kivo
