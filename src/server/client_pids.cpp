#include "server/client_pids.h"

#include <string>

namespace kivo {

Result<std::vector<protocol::HelperCustomSplitTrackedApp>> client_pid_snapshot(
    Env& env, const ClientIdentity& client, const std::vector<protocol::HelperCustomSplitTrackedApp>& apps) {
  std::size_t named = 0;
  for (const auto& app : apps) named += app.active_pids.size();
  if (named > kMaxSnapshotPids)
    return fail("PID snapshot names " + std::to_string(named) + " processes; the limit is " +
                std::to_string(kMaxSnapshotPids));
  if (client.is_root()) return apps;
  auto own = apps;
  for (auto& app : own) {
    std::erase_if(app.active_pids, [&](std::uint32_t pid) {
      auto owner = env.process_owner(pid);
      return !owner || *owner != client.uid;
    });
  }
  return own;
}

}  // namespace kivo
