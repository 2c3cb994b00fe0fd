// Any local user can make the helper write a line (a rejected connection is enough), and the
// log is root's disk: each kind of line is written at most once per interval.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kivo {

class ErrorLineThrottle {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  explicit ErrorLineThrottle(std::chrono::milliseconds interval = std::chrono::seconds(1)) : interval_(interval) {}

  // The lines to write now for this one: none while its kind (the text before the first ": ")
  // is held back, else the line, preceded by the count held back since the last one written.
  std::vector<std::string> admit(std::string_view line, TimePoint now);

 private:
  struct Kind {
    TimePoint last_written;
    std::uint64_t held = 0;
  };
  std::chrono::milliseconds interval_;
  // The helper's lines have a handful of fixed kinds; the bound only guards against a mistake.
  static constexpr std::size_t kMaxKinds = 64;
  std::map<std::string, Kind, std::less<>> kinds_;
};

}  // namespace kivo
