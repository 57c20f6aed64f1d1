#pragma once

#include "gitactivity/facts.hpp"
#include "gitactivity/hook_tools.hpp"
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
// (now without one). A hook that already reads so is not rewritten. Applies plan_enable: what it
// refuses fails with nothing written.
Result<Enabled, host::HostError> enable(const std::filesystem::path& repo,
                                        const std::filesystem::path& marker_dir, GitEnv env);
// What disable did: the hook git runs and every copy of the recorder beside it.
struct Disabled {
  std::optional<std::filesystem::path> hook;   // the hook git runs, when a recorder left it
  std::vector<std::filesystem::path> removed;  // every other file the recorder left
  std::vector<std::string> left;  // what is still there and not disable's to edit: what to do
  bool still_recorded = false;    // a commit still runs the recorder
  std::string unsure;             // why only the write can tell (a dry run's doubt)
};
// Removes every recorder block (and the advised line) from the hook git runs, and the recorder
// from the copies the hook tools kept and the places enable wrote for them, as plan_disable says;
// with `write` false, what it would do. Nothing is written when it refuses.
Result<Disabled, host::HostError> disable_everywhere(const std::filesystem::path& repo,
                                                     const std::filesystem::path& marker_dir,
                                                     GitEnv env, bool write);

// The dry run of enable: the same facts and the same plan, the hook tools' included, nothing
// written. Only what a write alone reveals can differ: where the answers cannot promise the write
// (a pseudo or full file system), it says why; a change in between it cannot know.
struct WouldEnable {
  std::string root;                // the top level's display text
  std::string unsure;              // why only the write can tell; empty when the plan is a promise
  std::vector<std::string> notes;  // what the hook tools mean for recording, a line each
};
Result<WouldEnable, host::HostError> would_enable(const std::filesystem::path& repo,
                                                  const std::filesystem::path& marker_dir,
                                                  GitEnv env);

// What enable writes, in order; nothing of it until every refusal has been ruled out.
struct EnablePlan {
  bool create_dir = false;
  std::optional<std::string> text;  // nothing when the hook already reads so
  bool chmod = false;
  bool write_marker = false;          // false: the marker is already at least as new
  std::optional<std::int64_t> epoch;  // the marker's time: the latest commit's, else now
  // where the recorder goes when a hook tool runs a place of the user's own (then nothing of the
  // above but the marker applies), and what enable says about the tools
  ToolPlan place;
  std::string unsure;  // why only the write can tell whether it succeeds; empty: a promise
};
// Every refusal enable can know before it writes, the marker's included, in the order it would
// meet them; `now` stands in for a repository without commits. Pure.
Result<EnablePlan, host::HostError> plan_enable(const RepoFacts& facts, std::int64_t now);
// Why record could not write the marker at time `at`; `writes` says whether it would write at
// all (an existing one at least as new is left alone). Pure.
std::optional<host::HostError> marker_refusal(const MarkerSlot& marker, std::int64_t at,
                                              bool& writes);

struct Removal {
  std::filesystem::path hook;
  std::string stripped;
  bool whole = false;  // the file goes: enable created it and nothing else wrote to it
};
struct DisablePlan {
  std::optional<Removal> hook;    // the hook git runs: nothing when it holds no recorder
  std::vector<Removal> copies;    // the copies the tools kept, the places enable wrote for them
  std::vector<std::string> left;  // what disable may not edit: what to do
  bool still_recorded = false;    // a commit still runs the recorder once the plan is done
  std::string unsure;             // why only the write can tell whether it succeeds
};
// What disable would write where; every refusal before any write. Pure.
Result<DisablePlan, host::HostError> plan_disable(const RepoFacts& facts);

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
