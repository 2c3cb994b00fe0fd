// The helper's background monitors: each is one pass of its feature, repeated forever with a
// pause through the seam's clock, so a unit test runs many rounds without sleeping.
#pragma once

#include <chrono>
#include <functional>

#include "os/env.h"
#include "server/detached_thread.h"

namespace kivo {

// One pass; yields the pause before the next one. A pass reports its own failures.
using MonitorPass = std::function<std::chrono::milliseconds()>;

struct Monitor {
  std::chrono::milliseconds first_pause{0};
  MonitorPass pass;
};

// `rounds` times: pause, pass. The first pause is the monitor's own, later ones what the pass chose.
void run_monitor_rounds(Env& env, const Monitor& monitor, int rounds);
// The same, forever, on a detached thread; false when the thread could not be created.
bool start_monitor(Env& env, Monitor monitor, const WorkStarter& start_thread = start_detached_work);

}  // namespace kivo
