#include "args.hpp"

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
    constexpr std::string_view timeout[] = {"--timeout"};
    EXPECT_EQ(host::timeout_seconds(host::parse_args(args, timeout), 900), want);
  }
}
