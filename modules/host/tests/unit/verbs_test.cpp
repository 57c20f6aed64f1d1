#include "cli/verbs.hpp"

#include <gtest/gtest.h>

TEST(ClosestFlag, SuggestsOnlyWhatIsOneOrTwoSlipsAway) {
  const std::pair<const char*, const char*> cases[] = {
      {"--peeer", "--peer"},
      {"--jsn", "--json"},
      {"--aply", "--apply"},
      {"--dryrun", "--dry-run"},
      {"--tiemout", "--timeout"},
      {"--apply", "--apply"},
      {"--x", ""},
      {"--zz", ""},  // two slips from "--at", but then nothing typed is left
      {"--verbose", ""},
      {"--", ""},
      {"-json", "--json"},
  };
  for (const auto& [typed, want] : cases) {
    SCOPED_TRACE(typed);
    EXPECT_EQ(cli::closest_flag(typed).value_or(""), want);
  }
}
