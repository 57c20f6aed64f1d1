#pragma once

#include "cli/cli.hpp"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace cli {

// What `-h` after a verb prints, and which of the program's flags the verb may not ignore.
struct VerbInfo {
  std::string_view name;
  std::string_view usage;    // the command line as typed through `pylon`
  std::string_view summary;  // one line
  bool reads_dry_run = false;
};

std::span<const VerbInfo> git_activity_verbs();
std::span<const VerbInfo> share_verbs();
const VerbInfo* find_verb(std::span<const VerbInfo> verbs, std::string_view name);

// Nothing when the verb may run. Otherwise what to return instead: the verb's help (status 0), or a
// Usage error for a flag the program does not know or a --dry-run the verb would not honour.
std::optional<VerbResult> check_verb_args(const VerbInfo& verb, const Args& args,
                                          std::ostream& out);

// The program's flag closest to `typed` (a flag name without "=value"), when one is close enough
// to be a likely typo.
std::optional<std::string_view> closest_flag(std::string_view typed);

}  // namespace cli
