#include "tunnel/data_plane.h"

#include "base/text.h"
#include "commands/binary_resolver.h"
#include "commands/command_runner.h"
#include "tunnel/runtime_state.h"

namespace kivo {

Result<TransferTotals> parse_wg_transfer(std::string_view output) {
  TransferTotals totals;
  bool saw_peer = false;
  for (std::string_view line : split_lines(output)) {
    auto fields = split_whitespace(line);
    if (fields.size() < 3) continue;
    auto rx = parse_u64(fields[1]);
    if (!rx) return fail("Invalid rx bytes in wg transfer output: " + std::string(line));
    auto tx = parse_u64(fields[2]);
    if (!tx) return fail("Invalid tx bytes in wg transfer output: " + std::string(line));
    totals.rx_bytes = saturating_add(totals.rx_bytes, *rx);
    totals.tx_bytes = saturating_add(totals.tx_bytes, *tx);
    saw_peer = true;
  }
  if (!saw_peer) return fail("No peer transfer rows found in wg show output");
  return totals;
}

Result<protocol::response::TunnelDataPlaneStatus> verify_tunnel_data_plane(Env& env) {
  using protocol::response::TunnelDataPlaneStatus;
  auto state = read_state(env);
  if (!state) return TunnelDataPlaneStatus{};
  if (!env.process_exists(state->pid)) return TunnelDataPlaneStatus{false, state->iface, 0, 0};

  KIVO_TRY(wg, resolve_binary_path(env, "wg"));
  auto shown = run_cmd(env, utf8_lossy(wg), {"show", state->iface, "transfer"});
  if (!shown) return fail("wg transfer query failed: " + shown.error());
  KIVO_TRY(totals, parse_wg_transfer(*shown));
  return TunnelDataPlaneStatus{true, state->iface, totals.rx_bytes, totals.tx_bytes};
}

}  // namespace kivo
