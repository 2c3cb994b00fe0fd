#include "kivo_ne_manager/main/kivo_desktop_ne_manager.h"

#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>

namespace kivo::nem {
namespace {

constexpr const char* kUsage = "Usage: kivo-ne-manager <connect|disconnect|status|update-app-rules>";

// Shared with the completion, which may still arrive after the wait has given up.
struct Handover {
  std::counting_semaphore<> signalled{0};
  std::mutex mu;
  std::optional<Outcome> slot;
};

}  // namespace

KivoDesktopNEManager::Answer KivoDesktopNEManager::main(const std::vector<std::string>& args, NetworkExtension& ne,
                                                        System& system) {
  static std::mutex mu;
  static std::list<KivoDesktopNEManager> alive;  // never emptied; the program ends with _exit
  KivoDesktopNEManager* manager;
  {
    std::lock_guard lock(mu);
    manager = &alive.emplace_back(ne, system);
  }
  return manager->answer(args);
}

KivoDesktopNEManager::Answer KivoDesktopNEManager::answer(const std::vector<std::string>& args) {
  auto outcome = run(args);
  if (!outcome) return {1, "", write_failure(outcome.error())};
  return {0, write_json(*outcome), ""};
}

template <class Payload>
Result<Payload> KivoDesktopNEManager::read_json_from_stdin(Result<Payload> (*decode)(std::string_view)) {
  KIVO_TRY(bytes, system_.read_standard_input());
  if (bytes.empty()) return manager_error::invalid_input("Expected JSON payload on stdin.");
  return decode(bytes);
}

Outcome KivoDesktopNEManager::run(const std::vector<std::string>& args) {
  if (args.empty()) return manager_error::invalid_command(kUsage);
  const std::string& command = args.front();
  if (command == "connect") {
    KIVO_TRY(payload, read_json_from_stdin(&decode_connect_payload));
    return await_result([&](Completion done) { profiles_.connect(payload, std::move(done)); });
  }
  if (command == "disconnect") return await_result([&](Completion done) { profiles_.disconnect(std::move(done)); });
  if (command == "status") return await_result([&](Completion done) { profiles_.status(std::move(done)); });
  if (command == "update-app-rules") {
    KIVO_TRY(payload, read_json_from_stdin(&decode_app_rule_payload));
    return await_result([&](Completion done) { profiles_.update_app_rules(payload, std::move(done)); });
  }
  return manager_error::invalid_command("Unknown command: " + command);
}

Outcome KivoDesktopNEManager::await_result(const std::function<void(Completion)>& operation) {
  auto handover = std::make_shared<Handover>();
  auto deadline = system_.now() + kAnswerTimeout;
  profiles_.set_deadline(deadline);
  operation([handover](Outcome outcome) {
    {
      std::lock_guard lock(handover->mu);
      handover->slot = std::move(outcome);
    }
    handover->signalled.release();
  });
  bool signalled = false;
  while (!signalled && system_.now() < deadline) {
    signalled = handover->signalled.try_acquire();
    if (!signalled) ne_.run_current_run_loop(system_.now() + kRunLoopSlice);
  }
  // One last look without waiting: a completion in the final slice still counts.
  if (!signalled) signalled = handover->signalled.try_acquire();
  if (!signalled) return manager_error::timed_out();
  std::lock_guard lock(handover->mu);
  if (!handover->slot) return manager_error::network_extension("Network Extension manager completed without a result.");
  return *handover->slot;
}

}  // namespace kivo::nem
