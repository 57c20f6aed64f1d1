#pragma once

#include "gitactivity/repos.hpp"
#include "host_error.hpp"
#include "result.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace gitactivity {

struct Enabled {
  std::optional<std::int64_t> backfilled;  // the last commit's time the marker got, if any
  std::string root;
  std::filesystem::path hook;
  std::filesystem::path marker;
  bool marker_written = true;      // false when the marker was already at least as new
  std::vector<std::string> notes;  // what the hook tools mean for recording, a line each
};

// Puts the recorder block into the repository's post-commit hook (once, at the top, after any
// interpreter line), makes the hook executable and moves the marker up to the last commit's time
// (now without one). A hook that already reads so is not rewritten.
Result<Enabled, host::HostError> enable(const std::filesystem::path& repo,
                                        const std::filesystem::path& marker_dir, GitEnv env);
// What disable did beyond the hook git runs.
struct Disabled {
  std::optional<std::filesystem::path> hook;   // the hook git runs, when a block left it
  std::vector<std::filesystem::path> removed;  // every other file the recorder left
  std::vector<std::string> left;  // what is still there and not disable's to edit: what to do
  bool still_recorded = false;    // a commit still runs the recorder
};
// disable, and the recorder's copies the hook tools kept and the places enable wrote for them;
// with `write` false, what it would do.
Result<Disabled, host::HostError> disable_everywhere(const std::filesystem::path& repo, GitEnv env,
                                                     bool write);
// Removes every recorder block from the hook. The hook path when a block was removed; nothing when
// there was none, and then the hook is not written at all.
Result<std::optional<std::filesystem::path>, host::HostError> disable(
    const std::filesystem::path& repo, GitEnv env);

// What enable and disable would answer, with nothing written: the top level to be enabled, the
// hook a block would be removed from (nothing when there is none), or the same error. Only what a
// write alone reveals (a full disk, a change in between) can make the real run differ.
Result<std::string, host::HostError> would_enable(const std::filesystem::path& repo, GitEnv env);
Result<std::optional<std::filesystem::path>, host::HostError> would_disable(
    const std::filesystem::path& repo, GitEnv env);

// The top level and the hooks directory from the output of `git rev-parse --show-toplevel
// --git-path hooks`; nothing unless it is exactly two lines, as a line feed in either path would
// make the split a guess.
std::optional<std::pair<std::string, std::string>> split_where(std::string_view output);

// What git and the file system say about a repository's hook before anything is written.
struct HookSite {
  std::string root;             // the top level (empty where it was not asked)
  std::filesystem::path dir;    // the hooks directory
  std::filesystem::path hook;   // dir / "post-commit"
  bool dir_exists = false;      // a directory, links followed
  std::error_code dir_error;    // why the hooks directory can be neither used nor created
  std::error_code write_error;  // why no new file can take the hook's (final target's) place
  std::error_code chmod_error;  // why the hook's mode cannot be changed
  bool executable = false;      // the hook has every bit of 0755 already
  bool tracked = false;         // the directory lies in the work tree and git tracks files in it
  // the refusal of a link on the way to the hook whose owner is not the hook's
  std::optional<host::HostError> foreign_link;
  Result<std::optional<std::string>, std::string> text{std::optional<std::string>{}};
};

// The top level and the hooks directory of `repo` with the file system's facts about them, as
// enable asks; `outside` is the failure for a directory in no repository.
Result<HookSite, host::HostError> locate(const std::filesystem::path& repo, GitEnv env,
                                         const host::HostError& outside);
// The refusal to write into a hooks directory that git tracks, and the hint that goes with it.
host::HostError tracked_refusal(const std::filesystem::path& hook,
                                const std::filesystem::path& dir);
std::string by_hand_hint(const std::filesystem::path& dir);
// Inside `dir` by its path alone: both are absolute and made canonical beforehand.
bool lies_within(const std::filesystem::path& path, const std::filesystem::path& dir);
// weakly_canonical, or the path unchanged when that fails.
std::filesystem::path canonical_or_same(const std::filesystem::path& path);
// The failures for a directory in no repository: plain, and with enable's hint.
host::HostError not_a_repository(const std::filesystem::path& repo);
host::HostError not_a_repository_to_enable(const std::filesystem::path& repo);
// The nearest path from `path` upwards that exists (links not followed); "." past a relative
// path's first component.
std::filesystem::path nearest_existing(const std::filesystem::path& path);

}  // namespace gitactivity
