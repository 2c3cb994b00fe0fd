// Is the tunnel alive, and how many bytes has it moved.
#pragma once

#include <string_view>

#include "base/result.h"
#include "os/env.h"
#include "protocol/helper_protocol.h"

namespace kivo {

struct TransferTotals {
  std::uint64_t rx_bytes = 0;
  std::uint64_t tx_bytes = 0;
};

// Sums the rows of `wg show IFACE transfer`. Pure.
Result<TransferTotals> parse_wg_transfer(std::string_view output);

Result<protocol::response::TunnelDataPlaneStatus> verify_tunnel_data_plane(Env& env);

}  // namespace kivo
