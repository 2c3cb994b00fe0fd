// A routing table behind FakeEnv for the route tool's numeric forms, answering as Apple's route
// does: an add of a taken destination prints "File exists", a delete of a missing one or a get
// of an unrouted target "not in table", on both streams and with exit status 0; get reports
// the entry's gateway (or the default's, when one is set). Safe to use from several threads.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "commands/command_runner.h"
#include "testing/fake_env.h"

namespace kivo::testing {

class FakeRouteTable {
 public:
  // Answers the route lines of `env`; every other line goes to the script.
  explicit FakeRouteTable(FakeEnv& env) {
    env.handler = [this](const std::string& line) { return answer(line); };
  }

  void set(const std::string& destination, const std::string& gateway) {
    std::lock_guard lock(mu_);
    routes_[destination] = gateway;
  }
  std::map<std::string, std::string> routes() const {
    std::lock_guard lock(mu_);
    return routes_;
  }
  // The next calls of `line` answer these outcomes in turn (nothing: the table acts), then the
  // table acts again.
  void intercept(const std::string& line, std::vector<std::optional<CommandResult>> outcomes) {
    std::lock_guard lock(mu_);
    intercepted_[line].assign(outcomes.begin(), outcomes.end());
  }
  std::optional<std::string> default_gateway;

 private:
  std::optional<CommandResult> answer(const std::string& line) {
    std::lock_guard lock(mu_);
    if (auto& queue = intercepted_[line]; !queue.empty()) {
      auto outcome = queue.front();
      queue.pop_front();
      if (outcome) return outcome;
    }
    const auto words = split_whitespace(line);
    const std::vector<std::string> w(words.begin(), words.end());
    if (w.size() < 4 || w[0] != "route" || w[1] != "-n") return std::nullopt;
    size_t at = 3;
    if (w[at] == "-inet6") ++at;
    if (w[2] == "get" && at + 1 == w.size()) return get(w[at]);
    if (at + 3 != w.size()) return std::nullopt;
    const std::string& destination = w[at + 1];
    if (w[2] == "add") {
      if (!routes_.try_emplace(destination, w[at + 2]).second)
        return refused("add host " + destination + ": gateway " + w[at + 2] + ": File exists\n", "File exists");
      return CommandResult("add host " + destination + ": gateway " + w[at + 2] + "\n");
    }
    if (w[2] == "delete") {
      if (!routes_.erase(destination)) return refused("delete host " + destination + ": not in table\n", "not in table");
      return CommandResult("delete host " + destination + "\n");
    }
    return std::nullopt;
  }

  CommandResult get(const std::string& target) {
    for (const auto& [destination, gateway] : routes_) {
      if (destination == target || destination.rfind(target + "/", 0) == 0)
        return "   route to: " + target + "\ndestination: " + destination + "\n    gateway: " + gateway +
               "\n  interface: en0\n";
    }
    if (default_gateway)
      return "   route to: " + target + "\ndestination: default\n    gateway: " + *default_gateway + "\n";
    return refused("", "not in table");
  }

  static CommandResult refused(const std::string& echo, const std::string& reason) {
    return command_output_to_result(echo, "route: writing to routing socket: " + reason + "\n", ProcessExit{true, 0});
  }

  mutable std::mutex mu_;
  std::map<std::string, std::string> routes_;
  std::map<std::string, std::deque<std::optional<CommandResult>>> intercepted_;
};

}  // namespace kivo::testing
