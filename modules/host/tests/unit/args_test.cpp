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
