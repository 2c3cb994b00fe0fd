// pfctl's answers: the reference token of an enable and the listings the verify operations read.
#include <algorithm>
#include <cstdlib>

#include "pf/pf_anchor.h"
#include "pf/quic_mitigation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  // The token goes back to pfctl as an argument: only digits, at least four of them.
  if (auto token = kivo::parse_pf_token(text)) {
    if (token->size() < 4 || !std::all_of(token->begin(), token->end(), [](char c) { return c >= '0' && c <= '9'; }))
      std::abort();
  }
  (void)kivo::has_active_anchor_rules(text);
  (void)kivo::quic_rule_listed(text);
  return 0;
}
