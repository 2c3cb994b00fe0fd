// The processes a client may have the helper look into, route around the tunnel and cut off.
#pragma once

#include <cstddef>
#include <vector>

#include "base/result.h"
#include "os/env.h"
#include "protocol/helper_protocol.h"

namespace kivo {

// Far above what one desktop's apps run; the snapshot is examined and recorded every pass.
inline constexpr std::size_t kMaxSnapshotPids = 1000;

// The snapshot with only the client's own processes (root names any); an error past the cap.
Result<std::vector<protocol::HelperCustomSplitTrackedApp>> client_pid_snapshot(
    Env& env, const ClientIdentity& client, const std::vector<protocol::HelperCustomSplitTrackedApp>& apps);

}  // namespace kivo
