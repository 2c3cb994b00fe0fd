#include "server/packet_steering_monitor.h"

namespace kivo {

Monitor packet_steering_monitor(Env& env, PacketSteeringEngine& engine) {
  return Monitor{std::chrono::milliseconds(0), [&env, &engine] {
                   if (auto error = engine.reconcile_packet_steering_engine_runtime())
                     env.print_error_line("Packet steering engine watchdog reconcile error: " + *error);
                   auto state = read_packet_steering_state(env);
                   bool watching_apps = state && !state->app_paths.empty();
                   return std::chrono::milliseconds(watching_apps ? 1000 : 3000);
                 }};
}

}  // namespace kivo
