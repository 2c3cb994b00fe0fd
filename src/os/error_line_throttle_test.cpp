#include "os/error_line_throttle.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

using Lines = std::vector<std::string>;

TEST(ErrorLineThrottle, WritesEachKindOncePerIntervalAndCountsWhatItHeldBack) {
  ErrorLineThrottle throttle;
  auto at = [](int ms) { return ErrorLineThrottle::TimePoint{} + std::chrono::milliseconds(ms); };
  EXPECT_EQ(throttle.admit("Rejected helper client: client uid 777 is not authorized", at(0)),
            Lines{"Rejected helper client: client uid 777 is not authorized"});
  for (int i = 1; i <= 500; ++i)
    EXPECT_EQ(throttle.admit("Rejected helper client: client uid 778 is not authorized", at(i)), Lines{});
  // Another kind is not held back by the flood.
  EXPECT_EQ(throttle.admit("Read error: timed out after 30000 ms", at(600)), Lines{"Read error: timed out after 30000 ms"});
  EXPECT_EQ(throttle.admit("Rejected helper client: client uid 779 is not authorized", at(1000)),
            (Lines{"Rejected helper client: 500 more lines suppressed",
                   "Rejected helper client: client uid 779 is not authorized"}));
  EXPECT_EQ(throttle.admit("Rejected helper client: client uid 780 is not authorized", at(2500)),
            Lines{"Rejected helper client: client uid 780 is not authorized"});
}

}  // namespace
}  // namespace kivo
