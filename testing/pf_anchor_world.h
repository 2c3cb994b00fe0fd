// pf as an apply of one of the helper's own anchors meets it: enable prints `enabled`, the
// anchor's listing answers in turn from `listings`. The rule file is captured when it is loaded,
// the record when the rules are verified (the rule file is still there then, and only then).
#pragma once

#include <string>
#include <vector>

#include "testing/fake_env.h"

namespace kivo::testing {

struct PfAnchorWorld : FakeEnv {
  PfAnchorWorld(std::string load, std::string show, std::string rules_path, std::string state_path,
                const std::string& enabled, std::vector<CommandResult> listings) {
    script_ok("pfctl -E", enabled);
    script(show, std::move(listings));
    handler = [=, this](const std::string& line) -> std::optional<CommandResult> {
      if (line == load) loaded = files[rules_path];
      if (line == show && files.count(rules_path) && files.count(state_path)) record_at_verify = files[state_path];
      return std::nullopt;
    };
  }
  std::string loaded, record_at_verify;
};

}  // namespace kivo::testing
