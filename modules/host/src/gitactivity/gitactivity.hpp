#pragma once

#include "args.hpp"
#include "host_error.hpp"
#include "result.hpp"
#include "unique_fd.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace gitactivity {

namespace fs = std::filesystem;

// ---- marker store (markers.cpp)

// One marker as read back: the file name and its modification time in whole seconds (0 before
// 1970).
struct Marker {
  std::string name;
  std::int64_t epoch = 0;

  bool operator==(const Marker&) const = default;
};

// The marker directory for this environment; never fails.
fs::path marker_dir();
// The rule behind marker_dir: a non-empty override, else {fleet home}/git-activity, else
// {home}/.kestrel/git-activity.
fs::path marker_dir_from(const std::optional<std::string>& override_dir,
                         const std::optional<fs::path>& fleet_home, const fs::path& home);
// ~/.kestrel/git-activity ("." for an unset HOME); never fails.
fs::path legacy_marker_dir();
// The current system time in whole seconds since 1970; 0 for a clock before 1970.
std::int64_t now_epoch();
// The repository path with every "/" turned into "-".
std::string encode_marker(std::string_view repo);
// Creates or empties the repository's marker and sets its times (now when `epoch` is absent).
// A link at the marker's name is not followed, and anything but a regular file is refused.
Result<fs::path, std::error_code> write_marker(const fs::path& dir, std::string_view repo,
                                               std::optional<std::int64_t> epoch);
struct MarkerWrite {
  fs::path path;
  bool written = false;
};
// write_marker that never moves a marker back: one at least as new as `epoch` is left alone.
Result<MarkerWrite, std::error_code> advance_marker(const fs::path& dir, std::string_view repo,
                                                    std::optional<std::int64_t> epoch);
// Sets access and modification time of an existing regular file (not through a link at its name).
Result<Unit, std::error_code> set_mtime(const fs::path& file, std::int64_t epoch);
Result<Unit, std::error_code> set_mtime(int fd, std::int64_t epoch);
// Creates the file or empties an existing regular one (mode 0666 before the umask for a new
// file), never through a link at its name; the descriptor is open for writing.
Result<pylon::UniqueFd, std::error_code> create_empty(const fs::path& file);
// The markers of a directory, newest first, then by name; never fails (unreadable reads empty).
std::vector<Marker> read_markers(const fs::path& dir);
// The existing directory a marker name stands for, preferring the shortest first component.
std::optional<fs::path> resolve_marker(std::string_view name);
std::optional<fs::path> resolve_from(const fs::path& base, std::span<const std::string> segments);

// Asks the file system once per path whether it is a directory (links followed). Markers share
// most of their parent directories: one probe for a whole listing saves nearly all the stats. It
// also remembers which (directory, rest of the name) pairs led nowhere: links can make one
// directory reachable by exponentially many spellings, and each pair is then tried once.
class DirectoryProbe {
 public:
  using Id = std::pair<std::uint64_t, std::uint64_t>;  // device, inode
  // The directory's identity, or nothing when the path is no directory.
  const std::optional<Id>& directory(const fs::path& path);
  bool failed_before(const fs::path& dir, std::span<const std::string> rest);
  void note_failure(const fs::path& dir, std::span<const std::string> rest);

 private:
  std::unordered_map<std::string, std::optional<Id>> known_;
  std::set<std::tuple<std::uint64_t, std::uint64_t, std::string>> failed_;
};
std::optional<fs::path> resolve_marker(std::string_view name, DirectoryProbe& probe);
std::optional<fs::path> resolve_from(const fs::path& base, std::span<const std::string> segments,
                                     DirectoryProbe& probe);

// ---- repository discovery (repos.cpp)

// The variables that point git at another repository than the one around its directory: what
// `git rev-parse --local-env-vars` lists (a test holds this to the installed git).
inline constexpr std::array<std::string_view, 16> git_local_env = {
    "GIT_ALTERNATE_OBJECT_DIRECTORIES",
    "GIT_CONFIG",
    "GIT_CONFIG_PARAMETERS",
    "GIT_CONFIG_COUNT",
    "GIT_OBJECT_DIRECTORY",
    "GIT_DIR",
    "GIT_WORK_TREE",
    "GIT_IMPLICIT_WORK_TREE",
    "GIT_GRAFT_FILE",
    "GIT_INDEX_FILE",
    "GIT_NO_REPLACE_OBJECTS",
    "GIT_REPLACE_REF_BASE",
    "GIT_PREFIX",
    "GIT_INTERNAL_SUPER_PREFIX",
    "GIT_SHALLOW_FILE",
    "GIT_COMMON_DIR",
};

// Inherited: inside a hook or an alias the environment means this repository. WithoutLocal: a
// directory the user named means that directory's repository, whatever git variables are set.
enum class GitEnv { Inherited, WithoutLocal };

// One `git` query in `dir` (20-second deadline): its trimmed output, or nothing on any failure.
std::optional<std::string> git_line(const fs::path& dir, const std::vector<std::string>& args,
                                    GitEnv env = GitEnv::Inherited);
// The top level of the repository holding `dir`: git's answer, else the nearest `.git` upwards.
std::optional<fs::path> git_toplevel(const fs::path& dir);
std::optional<fs::path> walk_up_for_dot_git(const fs::path& dir);
// git_toplevel's answer for the current directory where it is certain without starting git (a
// plain repository's top level); nothing where git must be asked.
std::optional<fs::path> toplevel_here();

struct WalkResult {
  std::vector<fs::path> repos;  // sorted component by component, no duplicates
  bool deadline_expired = false;
};
// Every directory below `root` (itself included) that holds `.git`, without entering pruned
// names or following symbolic links below the root.
// `entered`, when given, hears of every directory the walk lists.
WalkResult find_repos(const fs::path& root, std::chrono::steady_clock::time_point deadline,
                      const std::function<void()>& entered = {});
// The walk budget in seconds: a positive `--timeout`, else 300.
std::uint64_t walk_deadline(const host::Args& args);
// Now plus `seconds` on the walk's clock; a budget the clock cannot hold means no deadline.
std::chrono::steady_clock::time_point deadline_after(std::uint64_t seconds);

// ---- post-commit hook block (hook.cpp)

struct Enabled {
  std::optional<std::int64_t> backfilled;
  std::string root;
  fs::path hook;
  fs::path marker;
  bool marker_written = true;  // false when the marker was already at least as new
};

Result<Enabled, host::HostError> enable(const fs::path& repo, const fs::path& marker_dir,
                                        GitEnv env);
// The hook path when a block was removed; nothing when there was none.
Result<std::optional<fs::path>, host::HostError> disable(const fs::path& repo, GitEnv env);
std::string rewrite_hook(const std::optional<std::string>& existing);
std::optional<std::string> strip_hook(std::string_view text);
std::string strip_block(std::string_view text, std::string_view begin, std::string_view end);
// Nothing when a POSIX-family shell runs the hook; otherwise what runs it, as a short text such as
// "python3" or "a compiled program".
std::optional<std::string> foreign_interpreter(std::string_view hook_text);

// The hooks directory git names for `repo`; nothing outside a repository.
std::optional<fs::path> hooks_dir(const fs::path& repo, GitEnv env);
// The hook's bytes, whatever their encoding; nothing when there is no hook file; else the reason.
Result<std::optional<std::string>, std::string> read_hook(const fs::path& hook);
// enable's refusal of a hook that no shell runs; nothing when the block may go in.
std::optional<host::HostError> refuse_foreign(const fs::path& hook,
                                              const std::optional<std::string>& existing);

// ---- read-only looks at a repository's hook (inspect.cpp)

// What enable and disable would answer, with nothing written: the top level to be enabled, the
// hook a block would be removed from (nothing when there is none), or the same error.
Result<std::string, host::HostError> would_enable(const fs::path& repo, GitEnv env);
Result<std::optional<fs::path>, host::HostError> would_disable(const fs::path& repo, GitEnv env);

// ---- legacy migration (migrate.cpp)

struct MigrationStep {
  std::string name;
  std::int64_t epoch = 0;
  bool up_to_date = false;

  bool operator==(const MigrationStep&) const = default;
};

std::vector<MigrationStep> plan_migration(const std::vector<Marker>& legacy,
                                          const std::vector<Marker>& current);
// True when both name the same path lexically: repeated or trailing separators and "." components
// make no difference; ".." and symbolic links are not resolved, and the disk is not consulted.
bool same_path(const fs::path& a, const fs::path& b);
// The number of markers written; the first failure stops the copy.
Result<std::uint64_t, host::HostError> apply_migration(const std::vector<MigrationStep>& plan,
                                                       const fs::path& dir);

}  // namespace gitactivity
