#include "cli/cli.hpp"

#include <gtest/gtest.h>

TEST(Timeout, FallsBackOnAnythingButAPositiveU64) {
  const std::pair<host::Args, std::uint64_t> cases[] = {
      {{"--timeout", "30"}, 30},
      {{"--timeout=30"}, 30},
      {{"--timeout", "+30"}, 30},
      {{"--timeout", " \t30\n"}, 30},
      {{"--timeout",
        "\xE2\x80\x83"
        "30"},
       30},  // em space is white space too
      {{"--timeout", "0"}, 900},
      {{"--timeout", "-5"}, 900},  // strtoull would wrap this
      {{"--timeout", "1.5"}, 900},
      {{"--timeout", "abc"}, 900},
      {{"--timeout", "+"}, 900},
      {{"--timeout", "++3"}, 900},
      {{"--timeout", "3 0"}, 900},
      {{"--timeout="}, 900},
      {{"--timeout"}, 900},
      {{"--timeout", "18446744073709551615"}, 18446744073709551615ull},
      {{"--timeout", "18446744073709551616"}, 900},  // one past u64 max
      {{"--timeout", "10", "--timeout", "20"}, 10},
      {{}, 900},
  };
  for (const auto& [args, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(cli::timeout(args, 900), want);
  }
}

TEST(ParseI64, SignedDecimalOnly) {
  EXPECT_EQ(cli::parse_i64(" 1700000000 "), 1700000000);
  EXPECT_EQ(cli::parse_i64("-86400"), -86400);
  EXPECT_EQ(cli::parse_i64("+5"), 5);
  EXPECT_EQ(cli::parse_i64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(cli::parse_i64("9223372036854775808"), std::nullopt);
  EXPECT_EQ(cli::parse_i64("17e8"), std::nullopt);
  EXPECT_EQ(cli::parse_i64("1700000000.5"), std::nullopt);
  EXPECT_EQ(cli::parse_i64("-+1"), std::nullopt);
  EXPECT_EQ(cli::parse_i64("-"), std::nullopt);
  EXPECT_EQ(cli::parse_i64(""), std::nullopt);
}
