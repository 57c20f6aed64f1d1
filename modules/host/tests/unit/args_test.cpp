#include "args.hpp"

#include <gtest/gtest.h>

using host::Args;

constexpr std::string_view share_values[] = {"--peer", "--timeout"};
const auto parse = [](const Args& args) { return host::parse_args(args, share_values); };

TEST(FlagValue, FirstOccurrenceWinsInEitherForm) {
  const std::pair<Args, std::optional<std::string>> cases[] = {
      {{"ls", "--peer", "mini"}, "mini"},
      {{"ls", "--peer=mini"}, "mini"},
      {{"--peer=", "--peer", "x"}, ""},
      {{"--peer", "--json"}, "--json"},  // the next argument, whatever it is
      {{"--peer", "--", "x"}, "--"},
      {{"ls", "--peer"}, std::nullopt},
      {{"--peer", "a", "--peer=b"}, "a"},
      {{"--peers", "x", "--pee=y"}, std::nullopt},
      {{"--", "--peer", "x"}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& [args, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(parse(args).flag_value("--peer"), want);
  }
}

TEST(ParseArgs, ValueFlagsConsumeTheirValueAndALoneDoubleDashEndsFlags) {
  using Views = std::vector<std::string_view>;
  const std::pair<Args, Views> cases[] = {
      {{"push", "a.txt", "--peer", "mini", "b.txt"}, {"push", "a.txt", "b.txt"}},
      {{"ls", "--json", "docs"}, {"ls", "docs"}},
      {{"ls", "--peer=mini", "docs"}, {"ls", "docs"}},
      {{"ls", "--peer"}, {"ls"}},
      {{"record", "-", "-x", "-h"}, {"record", "-", "-x"}},
      {{"ls", "--peer", "--timeout", "5"}, {"ls", "5"}},  // the value of --peer is --timeout
      {{"a", "--", "b", "--json", "--", "-h"}, {"a", "b", "--json", "--", "-h"}},
      {{"a", "--peer", "--", "--", "--x"}, {"a", "--x"}},
  };
  for (const auto& [args, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(parse(args).operands, want);
  }
  EXPECT_EQ(host::parse_args({"x", "--peer", "y"}, {}).operands, (Views{"x", "y"}));
}

TEST(HasFlag, MatchesWholeArgumentsBeforeTheDoubleDashOnly) {
  EXPECT_TRUE(parse({"migrate", "--apply"}).has_flag("--apply"));
  EXPECT_FALSE(parse({"migrate", "--apply=yes"}).has_flag("--apply"));
  EXPECT_FALSE(parse({"--APPLY"}).has_flag("--apply"));
  EXPECT_FALSE(parse({"--", "--apply"}).has_flag("--apply"));
  constexpr std::string_view apply[] = {"--apply"};
  EXPECT_FALSE(parse({"--json", "--apply"}).only(apply).has_flag("--json"));
}

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
