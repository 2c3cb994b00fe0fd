// The helper's monitors, started once at start-up after the DNS recovery.
#pragma once

#include "server/features.h"

namespace kivo {

void start_monitors(Features& features);

}  // namespace kivo
