// The helper's monitors, started once at start-up after the DNS recovery.
#pragma once

#include "base/result.h"
#include "server/detached_thread.h"
#include "server/features.h"

namespace kivo {

// "failed to spawn thread" when a monitor's thread could not be created: the helper cannot
// keep its promises without them, so it stops rather than serve.
Status start_monitors(Features& features, const WorkStarter& start_thread = start_detached_work);

}  // namespace kivo
