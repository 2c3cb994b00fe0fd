#include "server/monitors.h"

#include "server/custom_split_monitor.h"
#include "server/monitor.h"
#include "server/packet_steering_monitor.h"

namespace kivo {

using namespace std::chrono_literals;

Status start_monitors(Features& features, const WorkStarter& start_thread) {
  Monitor monitors[] = {
      {5s, [&features] { features.dns.recover_stale_dns_state("watchdog"); return 5s; }},
      custom_split_monitor(features.env, features.custom_split),
      packet_steering_monitor(features.env, features.steering),
  };
  for (auto& monitor : monitors)
    if (!start_monitor(features.env, std::move(monitor), start_thread)) return fail("failed to spawn thread");
  return {};
}

}  // namespace kivo
