// The packet steering monitor: one engine pass at once, then again every second while excluded
// applications are staged, every three seconds otherwise.
#pragma once

#include "os/env.h"
#include "server/monitor.h"
#include "steering/packet_steering_engine.h"

namespace kivo {

Monitor packet_steering_monitor(Env& env, PacketSteeringEngine& engine);

}  // namespace kivo
