#include "server/monitors.h"

#include "server/monitor.h"

namespace kivo {

using namespace std::chrono_literals;

void start_monitors(Features& features) {
  (void)features;  // each feature's monitor is started here, one start_monitor line each
  start_monitor(features.env, {5s, [&features] { features.dns.recover_stale_dns_state("watchdog"); return 5s; }});
}

}  // namespace kivo
