// kivo-ne-manager: one command per process, one asynchronous Network Extension operation,
// waited for at most 15 seconds, and one JSON answer.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "kivo_ne_manager/app_rules.h"
#include "kivo_ne_manager/network_extension.h"
#include "kivo_ne_manager/payloads.h"
#include "kivo_ne_manager/system.h"
#include "kivo_ne_manager/tunnel_profiles.h"

namespace kivo::nem {

inline constexpr std::chrono::milliseconds kAnswerTimeout{15000};
inline constexpr std::chrono::milliseconds kRunLoopSlice{50};

class KivoDesktopNEManager {
 public:
  struct Answer {
    int exit_status = 0;
    std::string standard_output;
    std::string standard_error;
    bool operator==(const Answer&) const = default;
  };

  KivoDesktopNEManager(NetworkExtension& ne, System& system)
      : ne_(ne), system_(system), rules_(system), profiles_(ne, rules_, system) {}

  // The program's entry: args are the command line after the program name. The manager it
  // answers with lives as long as the process, since a completion that comes after the
  // time-out still runs against it.
  static Answer main(const std::vector<std::string>& args, NetworkExtension& ne, System& system);

  Answer answer(const std::vector<std::string>& args);
  Outcome run(const std::vector<std::string>& args);
  // Starts the operation and serves the run loop until its completion or the time-out.
  Outcome await_result(const std::function<void(Completion)>& operation);

  static std::string write_json(const StatusPayload& status) { return encode_status(status); }
  static std::string write_failure(const std::string& description) { return encode_failure(description); }

 private:
  template <class Payload>
  Result<Payload> read_json_from_stdin(Result<Payload> (*decode)(std::string_view));

  NetworkExtension& ne_;
  System& system_;
  AppRuleBuilder rules_;
  TunnelProfiles profiles_;
};

}  // namespace kivo::nem
