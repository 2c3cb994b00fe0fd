// The WireGuard tunnel's lifecycle: wireguard-go on a free utun, wg setconf, the address, the
// server's host route and the two half-default routes.
#pragma once

#include <mutex>
#include <string>

#include "base/result.h"
#include "os/env.h"
#include "tunnel/runtime_state.h"

namespace kivo {

// Stopping the tunnel takes the split bypass routes down first; the tunnel knows nothing else of it.
class SplitBypass;

class Tunnel {
 public:
  Tunnel(Env& env, SplitBypass& split) : env_(env), split_(split) {}

  // The configuration file is read with the client's identity.
  Result<HelperRuntimeState> start_tunnel(const std::string& config_path, const std::string& client_ip,
                                          const std::string& server_ip, const std::string& gateway,
                                          const ClientIdentity& client = {});
  // Always succeeds; every step is best effort.
  void stop_tunnel();

 private:
  // The recorded tunnel's routes, interface and process; results ignored.
  void tear_down(const HelperRuntimeState& state);
  // Tears down what the tunnel's record and an unfinished start's record name, and drops them.
  void replace_recorded_tunnels();

  Env& env_;
  SplitBypass& split_;
  // Start and stop are serialised: a stop in the middle of a start would tear down half a tunnel
  // whose record is written afterwards.
  std::mutex mu_;
};

}  // namespace kivo
