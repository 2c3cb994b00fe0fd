#include "server/custom_split_monitor.h"

namespace kivo {

Monitor custom_split_monitor(Env& env, CustomSplitEngine& engine) {
  return Monitor{std::chrono::milliseconds(0), [&env, &engine] {
                   auto reconciled = engine.reconcile_custom_split_engine_routes();
                   if (!reconciled)
                     env.print_error_line("Custom split engine watchdog reconcile error: " + reconciled.error());
                   return std::chrono::milliseconds(2000);
                 }};
}

}  // namespace kivo
