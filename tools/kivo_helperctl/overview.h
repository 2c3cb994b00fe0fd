// The overview of `status` and `watch`: every read-only request, asked in turn.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/result.h"
#include "tools/kivo_helperctl/answer_render.h"

namespace kivo::helperctl {

struct OverviewRequest {
  std::string title;
  std::string variant;
  std::string request;
};

// GetStatus, Status and the verify requests, none of which changes anything. The DNS check
// needs the address the settings should point at: normally the local proxy's.
std::vector<OverviewRequest> overview_requests(const std::string& dns_ip);

using Ask = std::function<Result<std::string>(const std::string& request)>;

// Stops after the first request when that one gets no answer at all.
std::vector<OverviewItem> gather_overview(const std::vector<OverviewRequest>& requests, const Ask& ask);

// {"GetStatus":answer,…}: every answer as the helper gave it, null where none came.
std::string overview_json(const std::vector<OverviewRequest>& requests, const std::vector<OverviewItem>& items);

}  // namespace kivo::helperctl
