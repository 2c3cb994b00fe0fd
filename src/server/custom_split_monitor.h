// The custom split monitor: keeps the engine's routes in step with the tracked processes'
// connections and ages them out when the snapshots stop.
#pragma once

#include "os/env.h"
#include "server/monitor.h"
#include "split/custom_split_engine.h"

namespace kivo {

// First pass at once, then 2 s after every pass; a failed pass prints its fixed line.
Monitor custom_split_monitor(Env& env, CustomSplitEngine& engine);

}  // namespace kivo
