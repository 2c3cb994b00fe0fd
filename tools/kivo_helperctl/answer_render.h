// What a person reads: the helper's JSON answers as short aligned "name: value" lines. Pure.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace kivo::helperctl {

struct Rendered {
  std::vector<std::string> lines;
  bool is_error = false;  // an Err answer: one line "error (Code): message", for standard error
};

// One answer: "Ok" is "ok"; a status variant is one line per member, labels aligned, flags as
// yes/no, absent texts as "none", an _ipv4/_ipv6 pair of counters on one row, and the feature
// flags as the list of those present.
Rendered render_answer(std::string_view answer);

// One request of the overview and what came of it: the answer, or why there is none.
struct OverviewItem {
  std::string title;
  Result<std::string> answer;
};

// The overview in one screen: a line per item with its members run together (zeros, empty
// texts and nulls left out), the first sentence of each note on a line of its own, long lines
// broken at 100 columns; an error in place of its item, but for the steering engine's answer
// when nothing is staged, which reads as not staged.
std::vector<std::string> render_overview(const std::vector<OverviewItem>& items);

}  // namespace kivo::helperctl
