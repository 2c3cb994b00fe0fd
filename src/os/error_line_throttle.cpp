#include "os/error_line_throttle.h"

namespace kivo {

std::vector<std::string> ErrorLineThrottle::admit(std::string_view line, TimePoint now) {
  std::string_view kind = line.substr(0, line.find(": "));
  auto it = kinds_.find(kind);
  if (it == kinds_.end()) {
    if (kinds_.size() >= kMaxKinds) kinds_.clear();
    kinds_.emplace(std::string(kind), Kind{now, 0});
    return {std::string(line)};
  }
  Kind& k = it->second;
  if (now - k.last_written < interval_) {
    ++k.held;
    return {};
  }
  std::vector<std::string> out;
  if (k.held > 0) out.push_back(std::string(kind) + ": " + std::to_string(k.held) + " more lines suppressed");
  out.emplace_back(line);
  k = Kind{now, 0};
  return out;
}

}  // namespace kivo
