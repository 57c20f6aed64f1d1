#include "text.hpp"

#include "result.hpp"

#include <gtest/gtest.h>

TEST(LossyUtf8, ReplacesEachInvalidSequenceOnce) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
      {"\xE2\x82", "\xEF\xBF\xBD"},  // truncated three-byte sequence: one replacement
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate is three bad bytes
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong slash
      {"\xE0\x80\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong slash in three bytes
  };
  for (const auto& [in, want] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(pylon::lossy_utf8(in), want);
    EXPECT_EQ(pylon::is_utf8(in), in == want);
  }
}

TEST(Trim, RemovesUnicodeWhiteSpaceAtBothEnds) {
  EXPECT_EQ(pylon::trim(" \t\n abc \r\n"), "abc");
  EXPECT_EQ(pylon::trim("\xC2\xA0x y\xE3\x80\x80"), "x y");  // no-break space, ideographic space
  EXPECT_EQ(pylon::trim("   "), "");
  EXPECT_EQ(pylon::trim_end("  abc  \n\n"), "  abc");
  EXPECT_EQ(pylon::trim("\xE2\x80\x8B"
                        "a"),
            "\xE2\x80\x8B"
            "a");  // zero-width space is not white
}

TEST(OsText, EndsWithTheErrorNumber) {
  EXPECT_EQ(pylon::os_text(std::error_code(ENOENT, std::system_category())),
            "No such file or directory (os error 2)");
}

TEST(ParseI64, SignedDecimalOnly) {
  EXPECT_EQ(pylon::parse_i64(" 1700000000 "), 1700000000);
  EXPECT_EQ(pylon::parse_i64("-86400"), -86400);
  EXPECT_EQ(pylon::parse_i64("+5"), 5);
  EXPECT_EQ(pylon::parse_i64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(pylon::parse_i64("9223372036854775808"), std::nullopt);
  EXPECT_EQ(pylon::parse_i64("17e8"), std::nullopt);
  EXPECT_EQ(pylon::parse_i64("1700000000.5"), std::nullopt);
  EXPECT_EQ(pylon::parse_i64("-+1"), std::nullopt);
  EXPECT_EQ(pylon::parse_i64("-"), std::nullopt);
  EXPECT_EQ(pylon::parse_i64(""), std::nullopt);
}
