#include "protocol/json_faults.h"

#include <gtest/gtest.h>

namespace kivo::protocol::json {
namespace {

TEST(JsonFaults, FloatsPrintLikeTheClientParser) {
  const std::pair<double, const char*> cases[] = {
      {100, "100.0"}, {-0.0, "-0.0"}, {0.001, "0.001"}, {1.25e-7, "1.25e-7"}, {1e16, "1e16"},
      {1234567890123456.0, "1234567890123456.0"}, {-2.5e300, "-2.5e300"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(format_float(value), text);
}

TEST(JsonFaults, NumbersAreClassifiedAsTheClientParserDoes) {
  EXPECT_EQ(read_number("-9223372036854775808")->i, INT64_MIN);
  for (const char* token : {"-9223372036854775809", "-0", "1E2"})
    EXPECT_EQ(read_number(token)->kind, Number::Kind::kFloat) << token;
  EXPECT_EQ(read_number("1e-400")->f, 0.0);
  EXPECT_EQ(read_number("0.0000e999")->f, 0.0);
  EXPECT_FALSE(read_number("1e309"));
  EXPECT_FALSE(read_number("-1" + std::string(400, '0')));
}

TEST(JsonFaults, NumberTokens) {
  // The fault's message and offset, or "" and the offset just past the token. An exponent past
  // the 32-bit range, read and skipped, is in ParseRequest's tables.
  struct { const char* text; bool skipped; const char* fault; std::size_t index; } cases[] = {
      {"-12.5e+3,", false, "", 8},          {"00", false, "invalid number", 2},
      {"-", false, "EOF while parsing a value", 1}, {"-", true, "invalid number", 1},
      {"1.", false, "EOF while parsing a value", 2}, {"1.}", true, "invalid number", 3},
      {"1e+", false, "EOF while parsing a value", 3}, {"1ex", false, "invalid number", 3},
      {"0e99999999999", false, "", 13},
  };
  for (const auto& c : cases) {
    Scan scan = scan_number(c.text, 0, c.skipped);
    EXPECT_EQ(scan.fault ? scan.fault->message : "", c.fault) << c.text;
    EXPECT_EQ(scan.fault ? scan.fault->index : scan.end, c.index) << c.text;
  }
}

}  // namespace
}  // namespace kivo::protocol::json
