#pragma once

#include "gitactivity/repos.hpp"
#include "host_error.hpp"
#include "result.hpp"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The recorder as hooks defined in git's configuration (git 2.54 and later): two named hooks in the
// user's global configuration that git runs in every repository, and the opt-out a repository's
// own configuration holds. Written through `git config` only, never by editing a file. The pure
// half decides what to write from what git's configuration says; the live half asks git and writes.

namespace gitactivity {

// One configured hook of ours: its name (hook.<name>.*), its command, the events it runs for.
struct GlobalHook {
  std::string_view name;
  std::string_view command;
  std::span<const std::string_view> events;
};
// pylon-git-activity on post-commit runs the block's command; pylon-git-activity-head on the
// events without a post-commit (merges and fast-forward pulls, amends and rebases, `git am`)
// records the time of the commit HEAD points at. A stored format: never change one.
std::span<const GlobalHook> global_hooks();

// One configuration entry as `git config --show-scope -z --get-regexp` prints it.
struct ConfigEntry {
  std::string scope;  // "global", "local", "worktree", "command", ...
  std::string key;    // canonical: section and variable in lower case
  std::string value;
  bool operator==(const ConfigEntry&) const = default;
};
// The entries of that output; nothing for a malformed one.
std::optional<std::vector<ConfigEntry>> parse_config_entries(std::string_view output);

// The `git config` arguments of one write, after `config --global` or `config --local`.
using ConfigWrite = std::vector<std::string>;

// What enable --global writes: each command, then each missing event, so that an interrupted run
// never leaves an event without its command. Refused, naming them, when the global entries of the
// hook.pylon-git-activity* names hold anything else. Nothing to write: already enabled. Pure.
Result<std::vector<ConfigWrite>, host::HostError> plan_global_enable(
    std::span<const ConfigEntry> entries, const std::filesystem::path& config);
struct GlobalRemoval {
  std::vector<ConfigWrite> writes;  // events first, then the commands
  std::vector<std::string> left;    // "key=value" of the names' other entries, left as they are
};
// What disable --global removes: exactly the entries enable wrote. Pure.
GlobalRemoval plan_global_disable(std::span<const ConfigEntry> entries);
// True when the global scope holds one of our hooks' commands: git runs it in every repository.
bool global_hooks_set(std::span<const ConfigEntry> entries);
// The writes to a repository's own configuration (local scope) that turn both hooks off
// (`off`) or back on; nothing when it already reads so. Pure.
std::vector<ConfigWrite> plan_opt_out(std::span<const ConfigEntry> entries, bool off);

// The file `git config --global` writes, by git's rule: GIT_CONFIG_GLOBAL when set, else
// ~/.gitconfig, or the XDG file ($XDG_CONFIG_HOME or ~/.config, then git/config) where only that
// one can be read. Refused without HOME. Pure but for `readable`.
Result<std::filesystem::path, host::HostError> global_config_file(
    const std::optional<std::string>& git_config_global, const std::optional<std::string>& home,
    const std::optional<std::string>& xdg_config_home,
    const std::function<bool(const std::filesystem::path&)>& readable);

// What git says about hooks defined in configuration, asked once with a probe hook that is off.
struct HookSupport {
  bool configured = false;  // git runs hooks from its configuration
  bool opt_out = false;     // and honours hook.<name>.enabled=false
};
// The probe's answer: `git hook list post-commit` with the probe hook defined and turned off. Only
// inside a repository does git list configured hooks at all, so only there can the opt-out be
// told. Pure.
HookSupport judge_hook_support(int code, std::string_view output);

// ---- live half ----

// Asks the installed git in `dir` (one start).
HookSupport hook_support_live(const std::filesystem::path& dir, GitEnv env);
// The refusal for a git without configured hooks: names the version git reports and 2.54.
host::HostError too_old_git(std::string_view doing);

struct GlobalChange {
  std::filesystem::path config;   // the global configuration file
  std::vector<std::string> done;  // "git config --global ..." of each write, in order
  std::vector<std::string> left;  // disable: the names' other entries, left as they are
};
// enable --global and disable --global: what was written (with `dry_run`, what would be).
Result<GlobalChange, host::HostError> enable_global(bool dry_run);
Result<GlobalChange, host::HostError> disable_global(bool dry_run);

// The global hooks as seen from one repository, after disable or enable changed its opt-out.
struct RepoOptOut {
  bool global = false;           // the global hooks are set
  bool supported = true;         // git honours the opt-out (false: none was written)
  bool wrote = false;            // disable: the opt-out was written now; enable: it was taken out
  std::filesystem::path config;  // the repository's shared configuration file, where asked
};
// disable REPO: turns both hooks off in the repository's configuration where the global hooks
// are set and git honours that; `off` false (enable REPO) turns them back on.
Result<RepoOptOut, host::HostError> set_opt_out(const std::filesystem::path& repo, bool off,
                                                GitEnv env);

// How many of the repositories the markers stand for also hold the block, out of how many found.
struct BlockCount {
  std::size_t with_block = 0;
  std::size_t known = 0;
};
BlockCount count_blocks(const std::filesystem::path& marker_dir);

// Why git may not write the configuration file: what the write gate refuses of a Replace there
// (a link other than the user's own, a file that is not regular, another user's, one with other
// hard links, a directory we may not replace it in).
std::optional<host::HostError> config_file_refusal(const std::filesystem::path& config);

}  // namespace gitactivity
