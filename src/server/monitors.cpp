#include "server/monitors.h"

#include "server/custom_split_monitor.h"
#include "server/monitor.h"
#include "server/packet_steering_monitor.h"

namespace kivo {

void start_monitors(Features& features) {
  // each feature's monitor is started here, one start_monitor line each
  start_monitor(features.env, custom_split_monitor(features.env, features.custom_split));
  start_monitor(features.env, packet_steering_monitor(features.env, features.steering));
}

}  // namespace kivo
