// The custom split engine: staged with the applications and the physical gateway, fed with
// snapshots of their processes, it keeps /24 bypass routes for the networks they talk to.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/result.h"
#include "os/env.h"
#include "protocol/helper_protocol.h"
#include "split/custom_split_state.h"

namespace kivo {

using CustomSplitEngineStatus = protocol::response::CustomSplitEngineStatus;

struct CustomSplitRestoreCounts {
  std::uint64_t app_count = 0;
  std::uint64_t route_count = 0;
  std::uint64_t removed_dynamic_routes = 0;
  bool operator==(const CustomSplitRestoreCounts&) const = default;
};

// The four requests and the monitor's pass each hold one lock for their whole read-change-write
// of the record, so a snapshot update is never lost to a pass that read the record before it.
class CustomSplitEngine {
 public:
  explicit CustomSplitEngine(Env& env) : env_(env) {}

  Result<CustomSplitEngineStatus> stage_custom_split_engine(const std::vector<std::string>& app_paths,
                                                           const std::vector<std::string>& routes,
                                                           const std::string& gateway, bool allow_lan,
                                                           const ClientIdentity& client = {});
  Result<CustomSplitEngineStatus> update_custom_split_engine_pids(std::uint64_t generation,
                                                                 const std::vector<HelperCustomSplitTrackedApp>& apps);
  Result<CustomSplitRestoreCounts> restore_custom_split_engine();
  CustomSplitEngineStatus verify_custom_split_engine();
  // The monitor's pass.
  Status reconcile_custom_split_engine_routes();

 private:
  Env& env_;
  std::mutex mu_;
};

}  // namespace kivo
