#include "base/json_record.h"

#include <gtest/gtest.h>

namespace kivo::json {
namespace {

std::string error_of(std::string_view text) {
  auto in = In::parse(text);
  if (!in) return in.error();
  auto value = in->str("a");
  return value ? "read: " + *value : value.error();
}

// State files are read back after crashes, whatever they hold; what a reader takes, the writer
// must be able to write back unchanged.
TEST(JsonRecord, RefusesTextsTheWriterCouldNotHaveWritten) {
  EXPECT_EQ(error_of(R"({"a":"\ud83d\ude00"})"), "read: \U0001F600");
  EXPECT_EQ(error_of(R"({"a":"x\udc00"})"), "invalid text: a string is not UTF-8");
  EXPECT_EQ(error_of("{\"a\":\"\xff\"}").substr(0, 25), "Invalid encoding in strin");
  EXPECT_EQ(error_of(R"({"l":["ok",{"\udfff":1}],"a":"v"})"), "invalid text: a string is not UTF-8");
}

TEST(JsonRecord, DeepNestingIsAnErrorNotACrash) {
  const std::string deep = "{\"a\":" + std::string(1000000, '[');
  EXPECT_NE(error_of(deep).find("at offset"), std::string::npos);
  const std::string closed = "{\"x\":" + std::string(100000, '[') + std::string(100000, ']') + ",\"a\":\"v\"}";
  EXPECT_EQ(error_of(closed), "read: v");
}

}  // namespace
}  // namespace kivo::json
