#include "server/monitors.h"

#include "server/monitor.h"

namespace kivo {

void start_monitors(Features& features) {
  (void)features;  // each feature's monitor is started here, one start_monitor line each
}

}  // namespace kivo
