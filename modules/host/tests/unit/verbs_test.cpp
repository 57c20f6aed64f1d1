#include "cli/verbs.hpp"

#include "cli/git_activity.hpp"
#include "cli/progress.hpp"
#include "cli/share_verb.hpp"
#include "share/quaylink.hpp"

#include <algorithm>
#include <sstream>

#include <gtest/gtest.h>

namespace {

// Answers every run with a clean exit; a verb's help must never reach it.
class NoTool final : public share::Quaylink {
 public:
  proc::Outcome run(const std::vector<std::string>&, share::Output, std::uint64_t) override {
    ++runs;
    return {};
  }
  int runs = 0;
};

}  // namespace

TEST(VerbTables, EveryVerbHasItsHelpLineUsageSummaryAndKnownFlags) {
  const std::string help = cli::help_text();
  for (const cli::Group* group : {&cli::git_activity_group(), &cli::share_group()}) {
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
      // the group's entry finds the verb and answers its help, running nothing
      std::ostringstream out;
      NoTool tool;
      const host::Args args = {std::string(verb.name), "--json", "--help"};
      const cli::VerbResult r = group == &cli::share_group()
                                    ? cli::share_verb(args, tool, out)
                                    : cli::git_activity(args, out, nullptr);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r.value(), 0);
      EXPECT_EQ(out.str(),
                "usage: " + cli::usage(*group, verb) + "\n" + std::string(verb.summary) + "\n");
      EXPECT_EQ(tool.runs, 0);
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
  // a value flag takes its value only in the group whose verbs read it
  const auto operands = [](const cli::Group& group, const host::Args& args) {
    return host::parse_args(args, cli::value_flags(group)).operands;
  };
  EXPECT_EQ(operands(cli::git_activity_group(), {"enable-all", "--peer", "d"}),
            (std::vector<std::string_view>{"enable-all", "d"}));
  EXPECT_EQ(operands(cli::share_group(), {"ls", "--at", "d", "--timeout", "5"}),
            (std::vector<std::string_view>{"ls", "d"}));
}

TEST(UnknownVerb, GuessesOnlyWhatIsOneOrTwoSlipsAway) {
  const std::pair<const char*, const char*> cases[] = {
      {"lst", " (did you mean 'list'?)"},
      {"enabel-all", " (did you mean 'enable-all'?)"},
      {"stauts", " (did you mean 'status'?)"},
      {"RECORD", ""},
      {"ls", ""},  // two edits, but only two letters typed
      {"x", ""},
  };
  for (const auto& [typed, guess] : cases) {
    SCOPED_TRACE(typed);
    EXPECT_EQ(cli::unknown_verb(cli::git_activity_group(), typed).message(),
              "unknown git-activity verb '" + std::string(typed) +
                  "'. Expected: record | enable | enable-all | disable | list | path | migrate | "
                  "status | disable-all" +
                  guess);
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
      {"--x", ""},
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

TEST(Redraws, OnlyForATermThatIsSetAndNotDumb) {
  EXPECT_TRUE(cli::redraws("xterm-256color"));
  EXPECT_FALSE(cli::redraws("dumb"));
  EXPECT_FALSE(cli::redraws(""));
  EXPECT_FALSE(cli::redraws(std::nullopt));
}
