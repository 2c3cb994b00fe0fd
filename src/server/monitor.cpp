#include "server/monitor.h"

#include <climits>

namespace kivo {

void run_monitor_rounds(Env& env, const Monitor& monitor, int rounds) {
  std::chrono::milliseconds pause = monitor.first_pause;
  for (int round = 0; round < rounds; ++round) {
    if (pause.count() > 0) env.sleep_for(pause);
    pause = monitor.pass();
  }
}

bool start_monitor(Env& env, Monitor monitor, const WorkStarter& start_thread) {
  return start_thread([&env, monitor = std::move(monitor)] {
    for (;;) run_monitor_rounds(env, monitor, INT_MAX);
  });
}

}  // namespace kivo
