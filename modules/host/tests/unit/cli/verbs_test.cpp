#include "cli/verbs.hpp"

#include <algorithm>
#include <sstream>

#include <gtest/gtest.h>

TEST(VerbTables, EveryVerbHasItsHelpLineUsageSummaryAndKnownFlags) {
  const std::string help = cli::help_text();
  for (const cli::Group* group : {&cli::git_activity_group(), &cli::share_group()}) {
    // the help, the group's usage and the unknown-verb list name the table's verbs, no others
    std::string names;
    std::size_t help_rows = 0;
    for (std::size_t at = help.find("\n  " + std::string(group->command) + " ");
         at != std::string::npos;
         at = help.find("\n  " + std::string(group->command) + " ", at + 1)) {
      ++help_rows;
    }
    std::size_t rows = 0;
    for (const cli::VerbInfo& verb : group->verbs) {
      names += (names.empty() ? "" : "|") + std::string(verb.name);
      rows += verb.more_usage.empty() ? 1U : 2U;  // a verb's other form has a line of its own
    }
    EXPECT_EQ(help_rows, rows);
    EXPECT_EQ(cli::group_usage(*group).message(),
              "usage: " + std::string(group->command) + " " + names);
    std::ostringstream none;
    EXPECT_EQ(cli::dispatch(*group, {"nosuchverb"}, none).stop->error().message(),
              cli::unknown_verb(*group, "nosuchverb").message());
    for (const cli::VerbInfo& verb : group->verbs) {
      SCOPED_TRACE(verb.name);
      EXPECT_TRUE(
          verb.help_usage.starts_with(std::string(group->command) + " " + std::string(verb.name)));
      EXPECT_NE(help.find("\n  " + std::string(verb.help_usage) + "  "), std::string::npos);
      EXPECT_FALSE(verb.help_summary.empty());
      EXPECT_FALSE(verb.summary.empty());
      for (const std::string_view flag : cli::flags_of(verb)) {
        const auto flags = cli::program_flags();
        const auto found = std::find_if(flags.begin(), flags.end(),
                                        [&](const cli::FlagInfo& f) { return f.name == flag; });
        ASSERT_NE(found, flags.end()) << flag;
        EXPECT_TRUE(found->after_verb) << flag;
        EXPECT_NE(help.find("  " + std::string(flag)), std::string::npos) << flag;
      }
      // dispatch finds the verb and answers its help instead of running it
      std::ostringstream out;
      const cli::Dispatch d = cli::dispatch(*group, {std::string(verb.name), "--json", "-h"}, out);
      EXPECT_EQ(d.verb, &verb);
      ASSERT_TRUE(d.stop && d.stop->ok());
      EXPECT_EQ(out.str(),
                "usage: " + cli::usage(*group, verb) + "\n" + std::string(verb.summary) + "\n");
    }
  }
}

TEST(ParseArgs, ALoneDoubleDashEndsTheFlagsOfEveryVerb) {
  for (const cli::Group* group : {&cli::git_activity_group(), &cli::share_group()}) {
    const std::vector<std::string_view> values = cli::value_flags(*group);
    for (const cli::VerbInfo& verb : group->verbs) {
      SCOPED_TRACE(verb.name);
      host::Args args = {std::string(verb.name)};
      for (const std::string_view flag : cli::flags_of(verb)) {
        args.emplace_back(flag);
        if (std::find(values.begin(), values.end(), flag) != values.end()) {
          args.emplace_back("--");  // a value flag's value, even this
        }
      }
      args.insert(args.end(), {"--", "--x"});
      const host::Parsed parsed = host::parse_args(args, values);
      EXPECT_EQ(parsed.operands, (std::vector<std::string_view>{verb.name, "--x"}));
      for (const std::string_view flag : cli::flags_of(verb)) {
        EXPECT_TRUE(parsed.has_flag(flag)) << flag;
      }
    }
  }
}

TEST(ClosestFlag, SuggestsOnlyWhatIsOneOrTwoSlipsAway) {
  const std::pair<const char*, const char*> cases[] = {
      {"--peeer", "--peer"},
      {"--jsn", "--json"},
      {"--aply", "--apply"},
      {"--dryrun", "--dry-run"},
      {"--tiemout", "--timeout"},
      {"--apply", "--apply"},
      {"--al", "--all"},  // one slip from "--at" too: a tie goes to the first in the table
      {"--x", ""},
      {"--zz", ""},  // two slips from "--at", but then nothing typed is left
      {"--verbose", ""},
      {"--", ""},
      {"-json", "--json"},
      {"--versin", ""},  // a first word only: after a verb it is no flag
  };
  for (const auto& [typed, want] : cases) {
    SCOPED_TRACE(typed);
    EXPECT_EQ(cli::closest_flag(typed).value_or(""), want);
  }
}

TEST(EscapeControls, ShowsC0DelAndC1AsHexAndKeepsTheRest) {
  const std::pair<std::string, std::string> cases[] = {
      {"/srv/\x1b]0;owned\x07/r", "/srv/\\x1b]0;owned\\x07/r"},
      {"a\nb\tc\x7f", "a\\x0ab\\x09c\\x7f"},
      {"\xc2\x9b"
       "2J",
       "\\x9b2J"},                // U+009B, the one-byte CSI
      {"\x9b\xff", "\\x9b\xff"},  // stray bytes: the C1 one shown
      {"caf\xc3\xa9 \xc2\xa0\xe2\x80\xa6", "caf\xc3\xa9 \xc2\xa0\xe2\x80\xa6"},  // text as is
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(cli::escape_controls(text), want);
  }
}
