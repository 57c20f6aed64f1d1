#pragma once

#include "cli/cli.hpp"

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gitactivity {
struct Volumes;
struct PruneEntry;
struct Removed;
}  // namespace gitactivity

namespace cli {

// The git-activity verb group: everything after the group word. `terminal`, when given, is where
// the walks show their progress and name the repositories that failed.
VerbResult git_activity(const Args& args, std::ostream& out, std::ostream* terminal);

// The post-commit entry point: writes this repository's marker; silent, always 0.
std::int32_t run_record(const host::Parsed& args);
void record_at(const std::filesystem::path& marker_dir, const std::filesystem::path& start,
               std::optional<std::int64_t> epoch);

// record --head: moves the marker up to the time of the commit HEAD points at; silent.
void record_head(const std::filesystem::path& marker_dir);

// The value of `--at` as a signed whole number of seconds; anything else is no `--at`.
std::optional<std::int64_t> parse_at(const host::Parsed& args);

// How long ago, in the largest unit that keeps some precision ("89s ago", "1m ago", "47h ago").
std::string age_text(std::int64_t age);
// One line of `list`: the age right-aligned in 9 columns, two spaces, the label.
std::string list_line(std::int64_t age, std::string_view label);

// REPO as given, else the current directory.
Result<std::filesystem::path, HostError> repo_arg(std::optional<std::string_view> arg);

// What the dispatcher has worked out before it picks a branch.
struct GitActivityCall {
  const host::Parsed& args;                          // only the flags the verb reads
  const std::vector<std::string_view>& positionals;  // the verb first
  bool json;
  const std::filesystem::path& marker_dir;
  std::ostream& out;
  std::ostream* terminal;  // standard error when it is a terminal, else nothing
};

VerbResult enable_verb(const GitActivityCall& call);
VerbResult enable_all_verb(const GitActivityCall& call);
VerbResult disable_verb(const GitActivityCall& call);
VerbResult disable_all_verb(const GitActivityCall& call);
VerbResult status_verb(const GitActivityCall& call);
VerbResult prune_verb(const GitActivityCall& call);

}  // namespace cli
