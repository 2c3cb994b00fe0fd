// Which of the helper's features can work on this machine, probed afresh for every request.
#pragma once

#include "os/env.h"
#include "protocol/helper_protocol.h"

namespace kivo {

protocol::HelperFeatureSupport supported_features(Env& env);
protocol::response::RuntimeStatus runtime_status(Env& env);

}  // namespace kivo
