// One monitor pass of an engine over N applied routes, with the real engine code and the real
// operating system of wherever it runs (the sandbox: the stand-in tools on PATH, the kernel's
// routes, the state files under /var/run of its own root):
//   engine_pass_load custom_split|packet_steering ROUTES ROUNDS
// The program holds ROUTES connected UDP sockets to public addresses in distinct /24 networks and
// tracks itself, so the engine learns and applies ROUTES routes; each round then times one pass
// over them (A) and the same tools' command lines run by bare posix_spawnp+waitpid (B), their
// order alternated per round, then as many spawns of /bin/true (C) and one atomic write of the engine's record as it
// stands (D), which a pass that syncs makes too. Prints one JSON object. Bounded by ROUNDS and by the
// engines' own tool time limits; the routes go with the engine's restore at the end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "commands/command_runner.h"
#include "commands/system_tools.h"
#include "os/real_env.h"
#include "split/custom_split_engine.h"
#include "split/custom_split_state.h"
#include "split/split_bypass.h"
#include "steering/packet_steering_engine.h"
#include "steering/steering_state.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Command = std::vector<std::string>;

// The real environment, recording every tool command line it runs.
class RecordingEnv final : public kivo::Env {
 public:
  std::vector<Command> commands;

  kivo::CommandResult run_command(const std::string& program, const std::vector<std::string>& args,
                                  std::optional<kivo::TimeLimit> limit) override {
    record(program, args);
    return real_.run_command(program, args, limit);
  }
  bool probe_command(const std::string& program, const std::vector<std::string>& args) override {
    record(program, args);
    return real_.probe_command(program, args);
  }
  kivo::Result<std::unique_ptr<kivo::ChildProcess>> spawn_child(const std::string& program,
                                                                 const std::vector<std::string>& args) override {
    record(program, args);
    return real_.spawn_child(program, args);
  }
  bool process_exists(std::uint32_t pid) override { return real_.process_exists(pid); }
  std::uint64_t now_epoch_seconds() override { return real_.now_epoch_seconds(); }
  std::chrono::steady_clock::time_point monotonic_now() override { return real_.monotonic_now(); }
  void sleep_for(std::chrono::milliseconds duration) override { real_.sleep_for(duration); }
  kivo::Result<std::string> read_file(const std::string& path) override { return real_.read_file(path); }
  kivo::Status write_file_atomic(const std::string& path, std::string_view content) override {
    return real_.write_file_atomic(path, content);
  }
  void remove_file(const std::string& path) override { real_.remove_file(path); }
  bool path_exists(const std::string& path) override { return real_.path_exists(path); }
  kivo::Result<std::string> canonical_path(const std::string& path) override { return real_.canonical_path(path); }
  std::optional<kivo::FileOwner> file_owner(const std::string& path) override { return real_.file_owner(path); }
  kivo::Result<kivo::ClientIdentity> peer_identity(int socket_fd) override { return real_.peer_identity(socket_fd); }
  bool tcp_probe(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit) override {
    return real_.tcp_probe(host, port, limit);
  }
  void print_error_line(std::string_view line) override { real_.print_error_line(line); }
  kivo::Result<std::string> read_file_as(const kivo::ClientIdentity& client, const std::string& path,
                                         std::size_t max_bytes) override {
    return real_.read_file_as(client, path, max_bytes);
  }
  bool path_exists_as(const kivo::ClientIdentity& client, const std::string& path) override {
    return real_.path_exists_as(client, path);
  }
  std::optional<std::uint32_t> process_owner(std::uint32_t pid) override { return real_.process_owner(pid); }
  std::optional<std::string> process_executable(std::uint32_t pid) override { return real_.process_executable(pid); }

 private:
  void record(const std::string& program, const std::vector<std::string>& args) {
    Command command{program};
    command.insert(command.end(), args.begin(), args.end());
    commands.push_back(std::move(command));
  }
  kivo::RealEnv real_;
};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "engine_pass_load: %s\n", what.c_str());
  std::exit(1);
}

// Connected UDP sockets send nothing, yet lsof and nettop list them with their peer.
std::vector<int> hold_peers(int count) {
  std::vector<int> sockets;
  for (int i = 0; i < count; ++i) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(443);
    peer.sin_addr.s_addr = htonl((45u << 24) | (static_cast<std::uint32_t>(i) << 8) | 1u);  // 45.0.i.1
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) die("cannot connect a UDP socket");
    sockets.push_back(fd);
  }
  return sockets;
}

// The tools' own cost: the same command lines, output discarded, nothing else.
void spawn_and_wait(const Command& command) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd : {0, 1, 2}) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
  std::vector<char*> argv;
  for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int status = 0;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0 || waitpid(pid, &status, 0) != pid)
    die("cannot run " + command.front());
  posix_spawn_file_actions_destroy(&actions);
}

double micros_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Both engines, behind the calls the monitor and the client make.
struct Engine {
  virtual ~Engine() = default;
  virtual void stage(const std::string& exe, const std::string& gateway) = 0;
  virtual void track(std::uint64_t generation, const kivo::HelperCustomSplitTrackedApp& app) = 0;
  virtual void pass() = 0;
  virtual std::size_t applied() = 0;
  virtual const char* record_path() = 0;
  virtual void restore() = 0;
};

struct CustomSplit final : Engine {
  explicit CustomSplit(kivo::Env& env) : env(env), engine(env) {}
  void stage(const std::string& exe, const std::string& gateway) override {
    if (auto staged = engine.stage_custom_split_engine({exe}, {}, gateway, false); !staged) die(staged.error());
  }
  void track(std::uint64_t generation, const kivo::HelperCustomSplitTrackedApp& app) override {
    if (auto updated = engine.update_custom_split_engine_pids(generation, {app}); !updated) die(updated.error());
  }
  void pass() override {
    if (auto passed = engine.reconcile_custom_split_engine_routes(); !passed) die(passed.error());
  }
  std::size_t applied() override {
    auto state = kivo::read_custom_split_engine_state(env);
    return state ? state->dynamic_routes.size() : 0;
  }
  const char* record_path() override { return kivo::kCustomSplitStatePath; }
  void restore() override { (void)engine.restore_custom_split_engine(); }
  kivo::Env& env;
  kivo::CustomSplitEngine engine;
};

struct PacketSteering final : Engine {
  explicit PacketSteering(kivo::Env& env) : env(env), split(env), engine(env, split) {}
  void stage(const std::string& exe, const std::string& gateway) override {
    if (auto staged = engine.stage_packet_steering_engine({exe}, {}, gateway, false); !staged) die(staged.error());
  }
  void track(std::uint64_t generation, const kivo::HelperCustomSplitTrackedApp& app) override {
    if (auto updated = engine.update_packet_steering_pids(generation, {app}); !updated) die(updated.error());
  }
  void pass() override {
    if (auto error = engine.reconcile_packet_steering_engine_runtime()) die(*error);
  }
  std::size_t applied() override {
    auto state = kivo::read_packet_steering_state(env);
    return state ? state->applied_bypass_routes_ipv4.size() : 0;
  }
  const char* record_path() override { return kivo::kPacketSteeringStatePath; }
  void restore() override { (void)engine.restore_packet_steering_engine(); }
  kivo::Env& env;
  kivo::SplitBypass split;
  kivo::PacketSteeringEngine engine;
};

std::string json_list(const std::vector<double>& values) {
  std::string text = "[";
  for (double v : values) text += (text.size() > 1 ? "," : "") + std::to_string(v);
  return text + "]";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) die("usage: engine_pass_load custom_split|packet_steering ROUTES ROUNDS");
  const std::string which = argv[1];
  const int routes = std::atoi(argv[2]);
  const int rounds = std::atoi(argv[3]);
  if (routes < 0 || routes > 256 || rounds < 1 || rounds > 100) die("ROUTES is 0 to 256, ROUNDS 1 to 100");

  RecordingEnv env;
  std::unique_ptr<Engine> engine;
  if (which == "custom_split") engine = std::make_unique<CustomSplit>(env);
  else if (which == "packet_steering") engine = std::make_unique<PacketSteering>(env);
  else die("unknown engine " + which);

  auto gateway = kivo::run_cmd(env, "route", {"-n", "get", "default"});
  auto gateway_ip = gateway ? kivo::parse_route_gateway(*gateway) : std::nullopt;
  if (!gateway_ip) die("no default gateway");
  auto exe = env.canonical_path("/proc/self/exe");
  if (!exe) die(exe.error());
  auto sockets = hold_peers(routes);
  kivo::HelperCustomSplitTrackedApp app{"engine_pass_load", *exe, {static_cast<std::uint32_t>(getpid())}};

  // The client reports its processes every few seconds; each round does so first (untimed), so the
  // snapshot stays fresh and the routes stay applied. Learning may take a few passes.
  std::uint64_t generation = 0;
  engine->stage(*exe, *gateway_ip);
  engine->track(++generation, app);
  for (int pass = 0; pass < 10 && engine->applied() < static_cast<std::size_t>(routes); ++pass) {
    engine->track(++generation, app);
    engine->pass();
  }
  std::size_t applied = engine->applied();

  std::vector<double> pass_us, replay_us, true_us, write_us;
  const std::string scratch = std::string(engine->record_path()) + ".bench";
  std::vector<double> processes;
  std::vector<Command> ran;
  auto replay = [&] {
    auto start = Clock::now();
    for (const auto& command : ran) spawn_and_wait(command);
    replay_us.push_back(micros_since(start));
  };
  for (int round = 0; round < rounds; ++round) {
    engine->track(++generation, app);
    // The order alternates (A B, B A, …) so that neither side always runs on a warmer machine;
    // a B that comes first replays the previous round's command lines, the same ones.
    bool replay_first = round % 2 == 1;
    if (replay_first) replay();
    env.commands.clear();
    auto start = Clock::now();
    engine->pass();
    pass_us.push_back(micros_since(start));
    ran = std::move(env.commands);
    processes.push_back(static_cast<double>(ran.size()));
    if (!replay_first) replay();

    start = Clock::now();
    for (std::size_t i = 0; i < ran.size(); ++i) spawn_and_wait({"/bin/true"});
    true_us.push_back(micros_since(start));

    auto record = env.read_file(engine->record_path());
    if (!record) die(record.error());
    start = Clock::now();
    if (auto written = env.write_file_atomic(scratch, *record); !written) die(written.error());
    write_us.push_back(micros_since(start));
  }
  env.remove_file(scratch);
  std::size_t still_applied = engine->applied();
  engine->restore();
  for (int fd : sockets) close(fd);

  std::printf("{\"engine\":\"%s\",\"routes\":%d,\"applied\":%zu,\"still_applied\":%zu,\"processes\":%s,"
              "\"pass_us\":%s,\"replay_us\":%s,\"true_us\":%s,\"record_write_us\":%s}\n",
              which.c_str(), routes, applied, still_applied, json_list(processes).c_str(), json_list(pass_us).c_str(),
              json_list(replay_us).c_str(), json_list(true_us).c_str(), json_list(write_us).c_str());
  // Routes that expire meanwhile are reported, not a failure: the caller words what it means.
  return applied == static_cast<std::size_t>(routes) ? 0 : 2;
}
