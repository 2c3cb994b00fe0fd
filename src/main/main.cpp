// com.kivovpn.helper: the privileged daemon behind the desktop client.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "os/real_env.h"
#include "server/features.h"
#include "server/monitors.h"
#include "server/socket_server.h"

int main() {
  // A standard-error line or a response written to a closed pipe must not end the daemon.
  signal(SIGPIPE, SIG_IGN);
  if (geteuid() != 0) {
    std::fputs("Daemon must run as root.\n", stderr);
    return 1;
  }
  static kivo::RealEnv env;
  static kivo::Features features(env);
  // Before anything else can run: DNS left pointing at a proxy that died with the last run.
  features.dns.recover_stale_dns_state("helper startup");
  if (auto started = kivo::start_monitors(features); !started) {
    std::fprintf(stderr, "%s\n", started.error().c_str());
    return 1;
  }

  auto listen_fd = kivo::open_helper_socket(env, kivo::kSocketPath);
  if (!listen_fd) {
    std::fprintf(stderr, "%s\n", listen_fd.error().c_str());
    return 1;
  }
  if (!kivo::start_monitor(env, kivo::socket_owner_monitor(env, kivo::kSocketPath))) {
    std::fputs("failed to spawn thread\n", stderr);
    return 1;
  }
  std::printf("Kivo helper daemon listening on %s\n", kivo::kSocketPath);
  std::fflush(stdout);
  kivo::serve_forever(features, *listen_fd);
}
