#include "args.hpp"

#include <gtest/gtest.h>

using host::Args;

TEST(FlagValue, FirstOccurrenceWinsInEitherForm) {
  const std::pair<Args, std::optional<std::string>> cases[] = {
      {{"ls", "--peer", "mini"}, "mini"},
      {{"ls", "--peer=mini"}, "mini"},
      {{"--peer=", "--peer", "x"}, ""},
      {{"--peer", "--json"}, "--json"},  // the next argument, whatever it is
      {{"ls", "--peer"}, std::nullopt},
      {{"--peer", "a", "--peer=b"}, "a"},
      {{"--peers", "x", "--pee=y"}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& [args, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(host::flag_value(args, "--peer"), want);
  }
}

TEST(Positionals, ValueFlagsConsumeTheirValue) {
  using Views = std::vector<std::string_view>;
  const std::pair<Args, Views> cases[] = {
      {{"push", "a.txt", "--peer", "mini", "b.txt"}, {"push", "a.txt", "b.txt"}},
      {{"ls", "--json", "docs"}, {"ls", "docs"}},
      {{"ls", "--peer=mini", "docs"}, {"ls", "docs"}},
      {{"ls", "--peer"}, {"ls"}},
      {{"record", "-", "-x"}, {"record", "-", "-x"}},
      {{"ls", "--peer", "--timeout", "5"}, {"ls", "5"}},  // the value of --peer is --timeout
      {{"a", "--", "b"}, {"a", "b"}},
  };
  for (const auto& [args, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(host::positionals(args, {"--peer", "--timeout"}), want);
  }
  EXPECT_EQ(host::positionals({"x", "--peer", "y"}, {}), (Views{"x", "y"}));
}

TEST(HasFlag, MatchesWholeArgumentsOnly) {
  EXPECT_TRUE(host::has_flag({"migrate", "--apply"}, "--apply"));
  EXPECT_FALSE(host::has_flag({"migrate", "--apply=yes"}, "--apply"));
  EXPECT_FALSE(host::has_flag({"--APPLY"}, "--apply"));
}
