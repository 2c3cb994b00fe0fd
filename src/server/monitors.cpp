#include "server/monitors.h"

#include "server/custom_split_monitor.h"
#include "server/monitor.h"
#include "server/packet_steering_monitor.h"

namespace kivo {

using namespace std::chrono_literals;

void start_monitors(Features& features) {
  start_monitor(features.env, {5s, [&features] { features.dns.recover_stale_dns_state("watchdog"); return 5s; }});
  start_monitor(features.env, custom_split_monitor(features.env, features.custom_split));
  start_monitor(features.env, packet_steering_monitor(features.env, features.steering));
}

}  // namespace kivo
