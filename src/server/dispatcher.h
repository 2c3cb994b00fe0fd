// Turns one request into calls of the feature operations and one response.
#pragma once

#include "protocol/helper_protocol.h"
#include "server/features.h"

namespace kivo {

protocol::HelperResponse dispatch(Features& features, const protocol::HelperRequest& request);

}  // namespace kivo
