// Turns one request into calls of the feature operations and one response.
#pragma once

#include "protocol/helper_protocol.h"
#include "server/features.h"

namespace kivo {

// The client's identity bounds what the helper does for it: the files it names are read as the
// client, the processes it names must be its own.
protocol::HelperResponse dispatch(Features& features, const protocol::HelperRequest& request,
                                  const ClientIdentity& client = {});

}  // namespace kivo
