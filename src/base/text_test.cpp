#include "base/text.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

using Fields = std::vector<std::string_view>;

// Fields split at tabs, no-break and ideographic spaces, numbers with a plus up to the largest
// u64, and sums that stop there are ParseWgTransfer's rows; a blank text trimmed to nothing and
// 256 past a u8 are NormalizeSplitRoute's.
TEST(Text, SplitsAtUnicodeWhiteSpaceAndLineEnds) {
  EXPECT_EQ(trim("\u2003 x y \n"), "x y");
  EXPECT_EQ(split_lines("a\r\nb\n\nc\n"), (Fields{"a", "b", "", "c"}));
  EXPECT_EQ(split_lines(""), Fields{});
}

TEST(Text, ParsesUnsignedWithOptionalPlus) {
  for (const char* bad : {"18446744073709551616", "", "+", "-1", "1x", " 1", "++1"})
    EXPECT_EQ(parse_u64(bad), std::nullopt) << bad;
  EXPECT_EQ(parse_u8("255"), 255);
}

TEST(Text, Utf8) {
  EXPECT_TRUE(is_valid_utf8("h\u00e9llo \U0001F600"));
  EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));  // an encoded surrogate
  EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));      // overlong
  EXPECT_EQ(utf8_lossy("a\xe2\x82z"), "a\xEF\xBF\xBDz");  // one replacement for a cut sequence
  EXPECT_EQ(utf8_lossy("\xff\xfe"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace kivo
