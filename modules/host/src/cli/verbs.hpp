#pragma once

#include "cli/cli.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// One of the program's flags, and its line under "options:" in the help.
struct FlagInfo {
  std::string_view name;        // "--peer"
  std::string_view value_name;  // "NAME"; empty for a switch
  std::string_view help;
  std::string_view short_name = {};  // "-h"
  bool after_verb = true;            // false: a first word only (--version)
};

std::span<const FlagInfo> program_flags();

// A row of a verb group's table, without its handler. The usage printed for `VERB --help` is the
// group's command, the verb, its operands and a bracket per flag it reads.
struct VerbInfo {
  std::string_view name;
  std::string_view operands;      // "[REPO]", "<file ...>"; may be empty
  std::string_view flags;         // the flags the verb reads, space-separated, in usage order
  std::string_view help_usage;    // its line in the help: the command ...
  std::string_view help_summary;  // ... and what it does
  std::string_view summary;       // one line for `VERB --help`
  bool strict = true;             // false: flags are not checked (the hook's entry point)
  // the most operands a strict verb takes; more is a Usage error and nothing is done. Verbs
  // whose further words are ignored as they always were keep the default.
  std::size_t most_operands = SIZE_MAX;
  // a further line in the help for the verb's other form: its usage, and what it does
  std::string_view more_usage = {};
  std::string_view more_summary = {};
};

// A verb group: the word that names it in messages, its command as typed through `pylon`, and
// its verbs in the order the help lists them.
struct Group {
  std::string_view word;     // "git-activity"
  std::string_view command;  // "pylon host git-activity"
  std::vector<VerbInfo> verbs;
};

const Group& git_activity_group();
const Group& share_group();

// A row with the verb's handler; a group's table is an array of these.
template <class Call>
struct VerbRow {
  VerbInfo info;
  VerbResult (*run)(const Call&);
};

template <class Call, std::size_t N>
Group make_group(std::string_view word, std::string_view command, const VerbRow<Call> (&table)[N]) {
  Group group{word, command, {}};
  for (const VerbRow<Call>& row : table) {
    group.verbs.push_back(row.info);
  }
  return group;
}

// The flags of `verb` as a list.
std::vector<std::string_view> flags_of(const VerbInfo& verb);
// The value flags some verb of the group reads: only they take the next argument as a value.
std::vector<std::string_view> value_flags(const Group& group);
// "pylon host git-activity enable [REPO] [--json]"
std::string usage(const Group& group, const VerbInfo& verb);
// The group's lines of the help, each ending in a newline.
std::string help_lines(const Group& group);
// "usage: pylon share push|pull|ls|dir|peer"
HostError group_usage(const Group& group);
// "unknown share verb 'x'. Expected: push | pull | ...", with a guess when one is near.
HostError unknown_verb(const Group& group, std::string_view verb);

// Nothing when the verb may run. Otherwise what to return instead: the verb's help (status 0), or a
// Usage error for a flag the program does not know, an --all or --dry-run the verb would not
// honour, or more operands than the verb's row allows.
std::optional<VerbResult> check_verb_args(const Group& group, const VerbInfo& verb,
                                          const host::Parsed& args, std::ostream& out);

// What a group runs before its verb: the parse, the group's own help, and the verb's row. An
// answer is returned in `stop` (group help, a usage error); `args` is then left as parsed.
struct Dispatch {
  host::Parsed args;  // only the flags the verb reads
  const VerbInfo* verb = nullptr;
  std::optional<VerbResult> stop;
  bool json = false;
};
Dispatch dispatch(const Group& group, const Args& args, std::ostream& out);

// The candidate nearest to `typed` when it is a likely typo: at most two edits away, and fewer
// edits than the letters typed (`ignored` leading characters, such as "--", do not count).
std::optional<std::string_view> closest(std::string_view typed,
                                        std::span<const std::string_view> candidates,
                                        std::size_t ignored = 0);
// The program's flag closest to `typed` (a flag name without "=value").
std::optional<std::string_view> closest_flag(std::string_view typed);

}  // namespace cli
