#include "gitactivity/stale.hpp"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace {

// Reflog subjects as git 2.39 writes them.
TEST(StaleCause, NamesWhatGitRanWithoutPostCommit) {
  const std::tuple<std::optional<std::string>, std::string, bool> cases[] = {
      {"merge topic: Merge made by the 'ort' strategy.", "by `git merge`, for which git runs no",
       false},
      {"pull -q --no-rebase origin main: Merge made by the 'ort' strategy.", "by `git pull`",
       false},
      {"pull: Fast-forward", "by `git pull`", false},
      {"am: subject", "by `git am`, for which", false},
      {"rebase (finish): returning to refs/heads/t", "`git rebase --apply` runs no", false},
      {"checkout: moving from v to main", "nothing is wrong", false},
      {"reset: moving to HEAD~1", "nothing is wrong", false},
      {"clone: from /tmp/r", "nothing is wrong", false},
      {"commit: f", "without the recorder running", true},
      {"commit (merge): Merge branch 't'", "without the recorder running", true},
      {"commit (amend): f", "without the recorder running", true},
      {"cherry-pick: f", "without the recorder running", true},
      {"merged", "does not say", false},
      {std::nullopt, "does not say", false},
  };
  for (const auto& [subject, part, wrong] : cases) {
    SCOPED_TRACE(subject.value_or("(none)"));
    const gitactivity::StaleCause cause = gitactivity::stale_cause(subject);
    EXPECT_NE(cause.text.find(part), std::string::npos) << cause.text;
    EXPECT_EQ(cause.wrong, wrong);
  }
}

}  // namespace
