#include "gitactivity/stale.hpp"

#include <iterator>

namespace gitactivity {
namespace {

struct CauseRow {
  std::string_view prefix;  // of the reflog subject
  std::string_view text;
  bool wrong;
};

// git runs post-commit for `commit` (and `cherry-pick`, `revert`, the default rebase's picks), but
// not for a merge it makes itself, `pull`, `am` or `rebase --apply`.
constexpr std::string_view no_hook = ", for which git runs no post-commit";
constexpr CauseRow causes[] = {
    {"merge ", "the latest commit came by `git merge`", false},
    {"pull", "the latest commit came by `git pull`", false},
    {"am:", "the latest commit came by `git am`", false},
    {"am ", "the latest commit came by `git am`", false},
    {"rebase",
     "the latest commit came by a rebase (`git rebase --apply` runs no post-commit; the "
     "default rebase does)",
     false},
    {"checkout:", "HEAD moved to a branch with newer commits: nothing is wrong", false},
    {"switch", "HEAD moved to a branch with newer commits: nothing is wrong", false},
    {"reset:", "`git reset` moved HEAD to a newer commit: nothing is wrong", false},
    {"clone:", "the commits came with the clone: nothing is wrong", false},
    {"commit",
     "the latest commit was made here without the recorder running (the hook was "
     "missing or not executable, or pylon-host was not on its PATH then)",
     true},
    {"cherry-pick", "the latest commit was made here without the recorder running", true},
    {"revert", "the latest commit was made here without the recorder running", true},
};

}  // namespace

StaleCause stale_cause(const std::optional<std::string>& reflog_subject) {
  if (reflog_subject) {
    for (const CauseRow& row : causes) {
      if (std::string_view(*reflog_subject).starts_with(row.prefix)) {
        std::string text(row.text);
        if (row.prefix == "merge " || row.prefix == "pull" || row.prefix.starts_with("am")) {
          text += no_hook;
        }
        return {std::move(text), row.wrong};
      }
    }
  }
  return {"git's reflog does not say how the latest commit came", false};
}

}  // namespace gitactivity
