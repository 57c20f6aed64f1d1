#pragma once

#include "gitactivity/facts.hpp"
#include "gitactivity/owner.hpp"
#include "gitactivity/repos.hpp"
#include "host_error.hpp"
#include "result.hpp"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gitactivity {

enum class CheckState { Ok, Warning, Problem };
// "ok", "warning", "problem": the text and JSON of a check's state.
std::string_view check_state_text(CheckState state);

// One thing that decides whether commits are recorded.
struct Check {
  std::string_view name;
  CheckState state = CheckState::Ok;
  std::string detail;
  bool doubt = false;  // a warning that leaves open whether commits are recorded
};

struct Status {
  std::string root;
  std::filesystem::path hooks_dir;
  std::filesystem::path hook;
  bool enabled = false;  // the hook holds the recorder: the current block or the advised line
  bool stale = false;    // the marker is older than the latest commit: a warning, never a problem
  std::vector<Check> checks;
};

// What keeps the repository's commits from being recorded, found without writing anything.
// `search_path` is the PATH the hook would search.
Result<Status, host::HostError> status(const std::filesystem::path& repo,
                                       const std::filesystem::path& marker_dir, GitEnv env,
                                       std::string_view search_path);

// The checks of status that concern the machine rather than a repository: `path`, `desktop-path`.
std::vector<Check> machine_checks(std::string_view search_path);
// status without the machine's checks.
Result<Status, host::HostError> repo_status(const std::filesystem::path& repo,
                                            const std::filesystem::path& marker_dir, GitEnv env);
// The repository's checks over its facts (hook, interpreter, hooks-dir, tools, marker). Pure.
std::vector<Check> repo_checks(const RepoFacts& facts);
// True when a check says commits are not recorded.
bool has_problem(const std::vector<Check>& checks);
// True when a check leaves open whether they are: the checks may then not say "recorded".
bool has_doubt(const std::vector<Check>& checks);

enum class MarkerState { Recorded, NotRecorded, Gone, Unreachable, CannotTell };

struct MarkerStatus {
  MarkerOwner owner;
  MarkerState state = MarkerState::Unreachable;
  bool stale = false;
  // the repository's checks, the machine's aside; one "repository" problem instead when the
  // repository is gone, unreachable, or could not be looked at
  std::vector<Check> checks;
};

struct FleetStatus {
  std::vector<Check> machine;
  std::vector<MarkerStatus> repos;  // byte order of the marker names
  bool deadline_expired = false;    // some markers were not looked at
};

// status for the repository of every marker (locate_owner's rule) while the deadline lasts; a
// repository counts as recorded only when the machine's checks pass too. An unreachable one is a
// warning, not a problem: it may merely be away. Writes nothing.
FleetStatus status_all(const std::filesystem::path& marker_dir, std::string_view search_path,
                       std::chrono::steady_clock::time_point deadline);

// True when a file of this name can exist in a directory whose name limit pathconf gives as
// `name_max` (0 or less: unknown, and 255 is assumed).
bool marker_name_fits(std::string_view name, long name_max);

// The first executable regular file named `program` in a colon-separated search path, read as
// the shell reads it (an empty entry is the current directory).
std::optional<std::filesystem::path> find_on_path(std::string_view program,
                                                  std::string_view search_path);

}  // namespace gitactivity
