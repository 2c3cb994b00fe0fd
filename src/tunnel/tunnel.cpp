#include "tunnel/tunnel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "base/ip.h"
#include "base/text.h"
#include "commands/binary_resolver.h"
#include "commands/command_runner.h"
#include "commands/kill_process.h"
#include "commands/system_tools.h"
#include "os/descriptors.h"
#include "split/split_bypass.h"
#include "tunnel/route_helpers.h"

namespace kivo {
namespace {

constexpr int kFirstUtun = 200;
constexpr int kLastUtun = 255;
constexpr int kInterfaceWaitRounds = 50;
constexpr std::chrono::milliseconds kInterfaceWaitPause{200};
// A WireGuard configuration is a few hundred bytes per peer.
constexpr std::size_t kMaxConfigBytes = 64 * 1024;
constexpr TimeLimit kWgSetconfLimit{15, 0};

// A leading "/" counts as a component; empty segments, and "." segments after the first
// component, do not. So "/wg0.conf" has two and "wg0.conf" one.
int count_path_components(std::string_view path) {
  int count = starts_with(path, "/") ? 1 : 0;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = std::min(path.find('/', start), path.size());
    std::string_view segment = path.substr(start, slash - start);
    if (!segment.empty() && (segment != "." || count == 0)) ++count;
    start = slash + 1;
  }
  return count;
}

void interface_down(Env& env, const std::string& iface) { (void)run_cmd(env, kIfconfigTool, {iface, "down"}); }

// wg quotes the offending line of the file in its complaints; the file is the client's to read,
// the answer may travel further, so only wg's own words are kept.
std::string without_quoted_content(std::string_view error) {
  std::vector<std::string> kept;
  for (std::string_view line : split_lines(error)) {
    line = line.substr(0, line.find('`'));
    while (!line.empty() && (line.back() == ' ' || line.back() == ':')) line.remove_suffix(1);
    if (!line.empty()) kept.emplace_back(line);
  }
  return join(kept, "\n");
}

}  // namespace

Result<HelperRuntimeState> Tunnel::start_tunnel(const std::string& config_path, const std::string& client_ip,
                                                const std::string& server_ip, const std::string& gateway,
                                                const ClientIdentity& client) {
  std::lock_guard lock(mu_);
  for (const std::string* address : {&client_ip, &server_ip, &gateway})
    if (!is_ip_address(*address)) return fail("Invalid IP provided: " + *address);
  // A host route to such a server or through such a gateway would take the machine's own
  // traffic (loopback, multicast) away from it.
  for (const std::string* address : {&server_ip, &gateway})
    if (auto usable = refuse_special_address(*address); !usable) return fail(usable.error());
  // Read once, as the client: a file it could not read is one that does not exist, and a FIFO
  // or a device cannot hold the start (and the tunnel's lock) forever. wg gets a private copy.
  auto config = env_.read_file_as(client, config_path, kMaxConfigBytes);
  if (!config && (config.error() == system_error_text(ENOENT) || config.error() == system_error_text(ENOTDIR)))
    return fail("WireGuard config path does not exist");
  if (!config) return fail("WireGuard config path rejected: " + config.error());
  if (count_path_components(config_path) < 2) return fail("WireGuard config path rejected");

  KIVO_TRY(wireguard_go, resolve_binary_path(env_, "wireguard-go"));
  KIVO_TRY(wg, resolve_binary_path(env_, "wg"));

  // One tunnel at a time: a second wireguard-go would hold the routes' interface hostage, and
  // once its record is overwritten nothing but killall would ever end it.
  replace_recorded_tunnels();

  std::string iface;
  for (int n = kFirstUtun; n <= kLastUtun && iface.empty(); ++n) {
    std::string candidate = "utun" + std::to_string(n);
    if (!run_cmd(env_, kIfconfigTool, {candidate})) iface = candidate;
  }
  if (iface.empty()) return fail("No free utun interfaces between 200 and 255");

  KIVO_TRY(child, env_.spawn_child(wireguard_go, {"-f", iface}));

  // What the undo needs is on disk before the first change it covers, so a crash at any later
  // step leaves a stop something to go on. It is the start's own record: the tunnel's record
  // (read by Status, the kill switch and the data-plane check) appears only once all is up.
  HelperRuntimeState state{child->pid(), iface, server_ip, gateway, 0};
  if (auto written = env_.write_file_atomic(kTunnelStartingPath, encode_runtime_state(state)); !written) {
    child->kill();
    return fail("Failed to persist tunnel state: " + written.error());
  }
  struct DropStartRecord {
    Env& env;
    ~DropStartRecord() { env.remove_file(kTunnelStartingPath); }
  } drop_start_record{env_};

  bool appeared = false;
  for (int round = 0; round < kInterfaceWaitRounds && !appeared; ++round) {
    if (!child->is_alive()) {
      child->kill();
      return fail("wireguard-go died immediately");
    }
    appeared = run_cmd(env_, kIfconfigTool, {iface}).ok();
    if (!appeared) env_.sleep_for(kInterfaceWaitPause);
  }
  if (!appeared) {
    child->kill();
    return fail("Timed out waiting for utun interface to appear");
  }

  if (auto copied = env_.write_file_atomic(kTunnelConfigCopyPath, *config); !copied) {
    child->kill();
    interface_down(env_, iface);
    return fail("wg setconf failed: " + copied.error());
  }
  auto loaded = run_cmd_owned_with_timeout(env_, utf8_lossy(wg), {"setconf", iface, kTunnelConfigCopyPath},
                                           kWgSetconfLimit);
  env_.remove_file(kTunnelConfigCopyPath);
  if (!loaded) {
    child->kill();
    interface_down(env_, iface);
    return fail("wg setconf failed: " + without_quoted_content(loaded.error()));
  }
  if (auto up = run_cmd(env_, kIfconfigTool, {iface, "up"}); !up) {
    child->kill();
    return fail("ifconfig up failed: " + up.error());
  }
  if (auto set = run_cmd(env_, kIfconfigTool, {iface, client_ip, client_ip, "netmask", "255.255.255.255"}); !set) {
    child->kill();
    return fail("ifconfig set ip failed: " + set.error());
  }

  if (auto host = ensure_host_route(env_, server_ip, gateway); !host) {
    child->kill();
    interface_down(env_, iface);
    return fail(host.error());
  }
  if (auto lower = ensure_default_half_route(env_, "0.0.0.0/1", iface); !lower) {
    (void)run_cmd(env_, kRouteTool, route_args::delete_host(server_ip, gateway));
    child->kill();
    interface_down(env_, iface);
    return fail(lower.error());
  }
  if (auto upper = ensure_default_half_route(env_, "128.0.0.0/1", iface); !upper) {
    (void)run_cmd(env_, kRouteTool, route_args::delete_net_interface("0.0.0.0/1", iface));
    (void)run_cmd(env_, kRouteTool, route_args::delete_host(server_ip, gateway));
    child->kill();
    interface_down(env_, iface);
    return fail(upper.error());
  }

  state.started_at = env_.now_epoch_seconds();
  // Without its record the tunnel could not be stopped or checked later, so it does not stay
  // up; nor does one whose output nobody could drain.
  Status kept = write_state(env_, state);
  if (!kept) {
    kept = fail("Failed to persist tunnel state: " + kept.error());
  } else if (Status released = child->release(); !released) {
    kept = fail("Failed to keep wireguard-go running: " + released.error());
  }
  if (!kept) {
    (void)run_cmd(env_, kRouteTool, route_args::delete_net_interface("128.0.0.0/1", iface));
    (void)run_cmd(env_, kRouteTool, route_args::delete_net_interface("0.0.0.0/1", iface));
    (void)run_cmd(env_, kRouteTool, route_args::delete_host(server_ip, gateway));
    child->kill();
    interface_down(env_, iface);
    env_.remove_file(kTunnelStatePath);
    return fail(kept.error());
  }
  return state;
}

void Tunnel::stop_tunnel() {
  std::lock_guard lock(mu_);
  (void)split_.restore_split_bypass();
  for (const char* path : {kTunnelStatePath, kTunnelStartingPath})
    if (auto state = read_runtime_state(env_, path)) tear_down(*state);
  // Also ends wireguard-go processes this helper did not start or no longer knows of.
  (void)run_cmd(env_, "killall", {"-9", "wireguard-go"});
  env_.remove_file(kTunnelStatePath);
  env_.remove_file(kTunnelStartingPath);
  // Left by a start cut short during wg setconf; it holds the client's private key.
  env_.remove_file(kTunnelConfigCopyPath);
}

void Tunnel::tear_down(const HelperRuntimeState& state) {
  (void)run_cmd(env_, kRouteTool, route_args::delete_net_interface("0.0.0.0/1", state.iface));
  (void)run_cmd(env_, kRouteTool, route_args::delete_net_interface("128.0.0.0/1", state.iface));
  (void)run_cmd(env_, kRouteTool, route_args::delete_host(state.server_ip, state.default_gateway));
  interface_down(env_, state.iface);
  // A recorded pid may since have been reused by any process; only wireguard-go is ended.
  if (auto wireguard_go = resolve_binary_path(env_, "wireguard-go"))
    kill_recorded_pid(env_, state.pid, *wireguard_go);
}

void Tunnel::replace_recorded_tunnels() {
  for (const char* path : {kTunnelStatePath, kTunnelStartingPath}) {
    auto state = read_runtime_state(env_, path);
    if (!state) continue;
    bool running = env_.process_exists(state->pid);
    tear_down(*state);
    // Its interface goes only with the process; the new tunnel may then take the same name.
    for (int round = 0; running && round < kInterfaceWaitRounds; ++round) {
      running = env_.process_exists(state->pid);
      if (running) env_.sleep_for(kInterfaceWaitPause);
    }
    env_.remove_file(path);
  }
}

}  // namespace kivo
