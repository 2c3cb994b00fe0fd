// kivo-helperctl: the helper's requests as commands a person types, with answers a person reads.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "base/ip.h"
#include "tools/kivo_helperctl/answer_render.h"
#include "tools/kivo_helperctl/helper_client.h"
#include "tools/kivo_helperctl/overview.h"
#include "tools/kivo_helperctl/request_builder.h"

namespace {

using namespace kivo::helperctl;

constexpr int kUsage = 64;  // sysexits' EX_USAGE

constexpr const char* kExitCodes =
    "Exit status: 0 the helper answered, 1 it answered with an error, 2 it could not be reached or\n"
    "gave no answer in time, 64 the command line is wrong.\n"
    "Answers are shown as \"name: value\" lines (errors as \"error (Code): message\" on standard error);\n"
    "--json prints the helper's answer unchanged.";

struct Globals {
  std::string socket = kDefaultSocket;
  double timeout_s = 60;
  bool json = false;
};

// A bare variant name such as Ping is sent as its JSON string; anything else is sent as given.
std::string raw_request_text(const std::string& arg) {
  bool bare = !arg.empty();
  for (char c : arg) bare = bare && std::isalnum(static_cast<unsigned char>(c));
  return bare ? "\"" + arg + "\"" : arg;
}

bool is_err(const std::string& answer) { return answer.rfind("{\"Err\":", 0) == 0; }

kivo::Result<std::string> ask(const Globals& g, const std::string& request) {
  return exchange(g.socket, request, std::chrono::milliseconds(std::llround(g.timeout_s * 1000)));
}

int show(const Globals& g, const std::string& request) {
  auto answer = ask(g, request);
  if (!answer) {
    std::cerr << "kivo-helperctl: " << answer.error() << "\n";
    return 2;
  }
  if (g.json) {
    std::cout << *answer << "\n";
    return is_err(*answer) ? 1 : 0;
  }
  Rendered rendered = render_answer(*answer);
  for (const auto& line : rendered.lines) (rendered.is_error ? std::cerr : std::cout) << line << "\n";
  return rendered.is_error ? 1 : 0;
}

// One overview. An Err answer is part of the picture (the steering engine answers one when it
// is not staged), so only a request left without any answer makes it fail, with 2.
int overview(const Globals& g, const std::string& dns_ip, bool clear_screen) {
  auto requests = overview_requests(dns_ip);
  auto items = gather_overview(requests, [&](const std::string& r) { return ask(g, r); });
  bool all_answered = true;
  for (const auto& item : items) all_answered = all_answered && item.answer.ok();
  std::ostringstream out;
  if (clear_screen) out << "\x1b[H\x1b[2J";
  if (g.json) {
    out << overview_json(requests, items) << "\n";
  } else {
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
    out << "kivo helper at " << g.socket << ", " << stamp << "\n";
    for (const auto& line : render_overview(items)) out << line << "\n";
  }
  std::cout << out.str() << std::flush;
  return all_answered ? 0 : 2;
}

int watch(const Globals& g, const std::string& dns_ip, double interval_s, unsigned rounds) {
  const bool terminal = isatty(STDOUT_FILENO) && !g.json;
  int rc = 0;
  for (unsigned round = 1; rounds == 0 || round <= rounds; ++round) {
    if (round > 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::llround(interval_s * 1000)));
      if (!terminal && !g.json) std::cout << "\n";
    }
    rc = overview(g, dns_ip, terminal);
  }
  return rc;
}

std::string read_all(std::istream& in) { return {std::istreambuf_iterator<char>(in), {}}; }

const CLI::Validator kIpAddress(
    [](std::string& text) { return kivo::is_ip_address(text) ? std::string() : "not an IP address: " + text; },
    "IP", "IP address");

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Drive the Kivo helper daemon: one command per request, answers as name: value lines."};
  app.footer(kExitCodes);
  app.fallthrough();
  Globals g;
  app.add_option("--socket", g.socket, "Path of the helper's socket")->capture_default_str();
  app.add_option("--timeout", g.timeout_s, "Seconds to wait for an answer; 0 waits for ever")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 86400.0));
  app.add_flag("--json", g.json, "Print the helper's answers unchanged");
  // The first form of this tool, which scripts and tests still use: the request as the only
  // argument, the answer printed unchanged.
  std::string legacy;
  app.add_option("request", legacy, "A raw request: the older form of `send`, whose answer is printed unchanged");

  RequestArgs args;
  std::map<CLI::App*, std::string> variant_of;  // each leaf command and the request it sends
  auto leaf = [&](CLI::App* parent, const std::string& name, const std::string& variant, const std::string& help) {
    CLI::App* cmd = parent->add_subcommand(name, help + " (" + variant + ")");
    variant_of[cmd] = variant;
    return cmd;
  };
  auto group = [&](const std::string& name, const std::string& help) {
    CLI::App* cmd = app.add_subcommand(name, help);
    cmd->require_subcommand(1);
    return cmd;
  };
  auto address = [](CLI::App* cmd, const std::string& name, std::string& into, const std::string& help) {
    return cmd->add_option(name, into, help)->required()->check(kIpAddress);
  };
  auto gateway = [&](CLI::App* cmd) { address(cmd, "--gateway", args.gateway, "The physical network's gateway"); };
  auto routes = [&](CLI::App* cmd, bool required) {
    auto* o = cmd->add_option("routes", args.routes, "Addresses or networks (CIDR) to keep out of the tunnel");
    if (required) o->required();
  };

  leaf(&app, "ping", "Ping", "Is the helper alive?");
  leaf(&app, "features", "GetStatus", "What the helper can do on this machine");
  leaf(&app, "recover", "Recover",
       "Tear down the tunnel, split routes, both engines and the QUIC block after a crash; "
       "leaves the kill switch and DNS alone");

  std::string dns_ip = "127.0.0.1";
  double interval_s = 2;
  unsigned rounds = 0;
  CLI::App* status = app.add_subcommand("status", "Everything the helper can report, from read-only requests; an error answer shows in its "
      "own line, and the exit status is 2 only when a request got no answer at all");
  CLI::App* watch_cmd = app.add_subcommand("watch", "The status overview, redrawn every few seconds");
  for (CLI::App* cmd : {status, watch_cmd})
    cmd->add_option("--dns-ip", dns_ip, "The address DNS should point at")->capture_default_str()->check(kIpAddress);
  watch_cmd->add_option("--interval", interval_s, "Seconds between rounds")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 3600.0));
  watch_cmd->add_option("--count", rounds, "Stop after this many rounds (0: until interrupted)")->capture_default_str();

  CLI::App* tunnel = group("tunnel", "The WireGuard tunnel");
  CLI::App* start = leaf(tunnel, "start", "StartTunnel", "Bring the tunnel up");
  start->add_option("--config", args.config_path, "WireGuard configuration file")->required();
  address(start, "--client-ip", args.client_ip, "This client's tunnel address");
  address(start, "--server-ip", args.server_ip, "The VPN server's address");
  gateway(start);
  leaf(tunnel, "stop", "StopTunnel", "Bring the tunnel down");
  leaf(tunnel, "status", "Status", "Is the tunnel up?");
  leaf(tunnel, "data-plane", "VerifyTunnelDataPlane", "The tunnel's byte counters");

  CLI::App* kill = group("kill-switch", "The pf kill switch");
  address(leaf(kill, "on", "ApplyKillSwitch", "Drop everything that leaves outside the tunnel"), "--server-ip",
          args.server_ip, "The VPN server's address");
  leaf(kill, "off", "RemoveKillSwitch", "Remove the kill switch");
  leaf(kill, "verify", "VerifyKillSwitch", "Is the kill switch loaded?");

  CLI::App* quic = group("quic", "The QUIC block (UDP to port 443)");
  leaf(quic, "on", "SetQuicMitigation", "Block QUIC")->callback([&] { args.enabled = true; });
  leaf(quic, "off", "SetQuicMitigation", "Let QUIC through again")->callback([&] { args.enabled = false; });
  leaf(quic, "verify", "VerifyQuicMitigation", "Is QUIC blocked?");

  CLI::App* dns = group("dns", "The DNS proxy settings");
  address(leaf(dns, "apply", "ApplyDnsProxy", "Point every network service's DNS at IP"), "ip", args.dns_ip,
          "The DNS server, normally the local proxy 127.0.0.1");
  leaf(dns, "restore", "RestoreDnsProxy", "Put the user's DNS servers back");
  address(leaf(dns, "verify", "VerifyDnsProxy", "Are the settings pointing at IP in force?"), "ip", args.dns_ip,
          "The DNS server they should point at");

  CLI::App* split = group("split", "Static split bypass routes");
  CLI::App* split_apply = leaf(split, "apply", "ApplySplitBypass", "Route ROUTE... around the tunnel");
  gateway(split_apply);
  routes(split_apply, true);
  leaf(split, "restore", "RestoreSplitBypass", "Remove the bypass routes");
  leaf(split, "verify", "VerifySplitBypass", "Are the bypass routes in place?");

  std::string apps_file = "-";
  for (auto [name, engine, prefix] : {std::tuple{"custom-split", "The custom split engine", "CustomSplitEngine"},
                                      std::tuple{"steering", "The packet steering engine", "PacketSteeringEngine"}}) {
    CLI::App* g_cmd = group(name, engine);
    std::string update = std::string(prefix) == "CustomSplitEngine" ? "UpdateCustomSplitEnginePids"
                                                                    : "UpdatePacketSteeringPids";
    CLI::App* stage = leaf(g_cmd, "stage", std::string("Stage") + prefix, "Stage the engine for these applications");
    stage->add_option("--app", args.app_paths, "Path of an application to keep out of the tunnel (repeatable)");
    stage->add_flag("--allow-lan", args.allow_lan, "Let the applications reach the local network");
    gateway(stage);
    routes(stage, false);
    CLI::App* upd = leaf(g_cmd, "update", update, "Hand the engine a process snapshot");
    upd->add_option("--generation", args.generation, "The snapshot's generation")->required();
    upd->add_option("--apps", apps_file,
                    "JSON file (- for standard input) with [{\"name\",\"exe_path\",\"active_pids\"}...]")
        ->capture_default_str();
    leaf(g_cmd, "restore", std::string("Restore") + prefix, "Tear the engine down");
    leaf(g_cmd, "verify", std::string("Verify") + prefix, "Report the engine");
  }

  std::string raw;
  app.add_subcommand("send", "Send a raw JSON request, such as '{\"SetQuicMitigation\":{\"enabled\":true}}' or Ping")
      ->add_option("json", raw, "The request")
      ->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kUsage;
  }

  // A rejected client is answered without being read; writing on must not kill us before we
  // read that answer.
  signal(SIGPIPE, SIG_IGN);

  if (!legacy.empty()) {
    if (!app.get_subcommands().empty()) {
      std::cerr << "kivo-helperctl: unexpected argument: " << legacy << "\n";
      return kUsage;
    }
    auto answer = ask(g, raw_request_text(legacy));
    if (!answer) {
      std::cerr << "kivo-helperctl: " << answer.error() << "\n";
      return 2;
    }
    std::cout << *answer << "\n";
    return is_err(*answer) ? 1 : 0;
  }
  if (app.got_subcommand("send")) return show(g, raw_request_text(raw));
  if (status->parsed()) return overview(g, dns_ip, false);
  if (watch_cmd->parsed()) return watch(g, dns_ip, interval_s, rounds);

  for (const auto& [cmd, variant] : variant_of) {
    if (!cmd->parsed()) continue;
    if (variant.starts_with("Update")) {
      std::ifstream file;
      if (apps_file != "-") {
        file.open(apps_file);
        if (!file) {
          std::cerr << "kivo-helperctl: cannot read " << apps_file << "\n";
          return kUsage;
        }
      }
      if (apps_file == "-" && isatty(STDIN_FILENO))
        std::cerr << "kivo-helperctl: reading the apps as a JSON array from standard input (end with Ctrl-D)\n";
      args.apps_json = read_all(apps_file == "-" ? std::cin : file);
    }
    auto request = build_request(variant, args);
    if (!request) {
      std::cerr << "kivo-helperctl " << cmd->get_parent()->get_name() << " " << cmd->get_name() << ": "
                << request.error() << "\n";
      return kUsage;
    }
    return show(g, *request);
  }
  std::cerr << app.help() << "\n";
  return kUsage;
}
