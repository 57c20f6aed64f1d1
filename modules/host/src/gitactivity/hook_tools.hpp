#pragma once

#include "gitactivity/repos.hpp"

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gitactivity {

// The git hook tools that generate and regenerate hooks beside the recorder. Adding a tool is
// adding a row to the table in hook_tools.cpp and, where it has a place of the user's own, a
// member to ToolFacts.
enum class HookTool { GitLfs, PreCommit, Husky, Lefthook, SimpleGitHooks };

// The id the recorder goes by in a tool's configuration: a lefthook job or command name, a
// pre-commit hook id. A stored format: teams commit it.
constexpr std::string_view recorder_id = "pylon-git-activity";

struct HookToolRow {
  HookTool tool;
  bool runs_kept_copy;  // its hook runs the copy it keeps
  std::string_view name;
  // a line the post-commit hook it generates carries; empty for none
  std::string_view hook_mark;
  // where it keeps a post-commit it found, beside the hook; empty for none
  std::string_view kept_copy;
  // the team's configuration in the work tree, and the recorder's entry for it
  std::string_view team_config;
  std::string_view snippet;
  // the routine run that rewrites its hook without the block; empty when none does
  std::string_view routine;
};

std::span<const HookToolRow> hook_tools();
const HookToolRow& tool_row(HookTool tool);

// One file as read: nothing when it is absent or unreadable.
struct FileFact {
  std::filesystem::path path;
  std::optional<std::string> text;
  bool exists = false;  // even when it could not be read
  bool executable = false;
  bool tracked = false;   // git tracks it: the team's file
  bool excluded = false;  // listed in .git/info/exclude or otherwise ignored
};

// What the file system and git say about the tools in one repository, gathered once.
struct ToolFacts {
  std::filesystem::path hooks_dir;     // the directory git runs hooks from
  std::optional<std::string> hook;     // its post-commit
  FileFact legacy;                     // hooks_dir/post-commit.legacy (pre-commit's copy)
  FileFact old;                        // hooks_dir/post-commit.old (lefthook's copy)
  FileFact unused_hook;                // .git/hooks/post-commit when git uses another directory
  FileFact husky;                      // husky 9's own hook: hooks_dir/../post-commit
  FileFact lefthook_local;             // lefthook-local.yml, the user's own
  FileFact lefthook_team;              // lefthook.yml
  FileFact pre_commit_config;          // .pre-commit-config.yaml
  FileFact package_json;               // package.json (simple-git-hooks)
  bool uses_lfs = false;               // `filter=lfs` in the attributes or a .git/lfs directory
  std::filesystem::path info_exclude;  // the repository's .git/info/exclude
  // whether git tracks files in the hooks directory, where the question went with the tool's
  // files (a tool's directory in the work tree); nothing where it was not asked
  std::optional<bool> hooks_dir_tracked;
};

// The facts of the repository whose top level is `root`, whose hooks directory is `hooks_dir` and
// whose common git directory is `git_dir`, with `hook` as read from it; part of
// gather_repo_facts. Only files that exist cost a git run, one for all of them; `ask_hooks_dir`:
// whether git tracks files in the hooks directory goes with it where that lies in the work tree.
ToolFacts gather_tool_facts(const std::filesystem::path& repo, GitEnv env, const std::string& root,
                            const std::filesystem::path& hooks_dir,
                            const std::filesystem::path& git_dir,
                            const std::optional<std::string>& hook, bool ask_hooks_dir);

// The tool whose generated hook git runs, by the hook's text and the directory it sits in.
std::optional<HookTool> hook_runner(const std::filesystem::path& hooks_dir,
                                    const std::optional<std::string>& hook);
// True when a line of the text is the recorder's command, as advised for hooks enable may not edit.
bool holds_recorder_line(std::string_view text);
// True when the recorder block or the recorder's line stands in a hook text.
bool runs_recorder(std::string_view text);
// True when the tool's configuration runs the recorder by its id at the post-commit stage.
bool config_runs_recorder(HookTool tool, std::string_view config);
// lefthook-local.yml with the recorder's post-commit section appended; nothing when the text
// already has a post-commit section or is not plain enough to append to safely.
std::optional<std::string> with_lefthook_section(const std::optional<std::string>& local);
// The text without the section with_lefthook_section appended; nothing when it is not there as
// written.
std::optional<std::string> without_lefthook_section(std::string_view local);

// One place the recorder was found in, and whether git reaches it when it runs post-commit.
struct Route {
  std::filesystem::path path;
  std::string via;         // "post-commit.legacy, which pre-commit runs"
  bool reached = false;    // a commit runs it
  bool removable = false;  // a hook text disable takes the block out of
  std::string hint;        // for an unreached or not removable place: what to do
};

// Every place besides the hook git runs where the recorder stands.
std::vector<Route> recorder_routes(const ToolFacts& facts);

// Where enable puts the recorder, and what it says about the tools.
struct ToolPlan {
  // Already: a tool runs the recorder from the team's configuration, and nothing is written
  enum class Target { Hook, Legacy, Husky, LefthookLocal, Already };
  Target target = Target::Hook;
  bool exclude = false;             // add `path` to .git/info/exclude
  std::filesystem::path path;       // the file the recorder goes into
  std::optional<std::string> text;  // the new text of `path`; nothing when it already reads so
  std::vector<std::string> notes;   // one line each, shown after enable's own
};
ToolPlan plan_for_tools(const ToolFacts& facts, const std::filesystem::path& root);
// .git/info/exclude's text with `line` added; nothing when it is listed already.
std::optional<std::string> with_exclude_line(const std::optional<std::string>& exclude,
                                             std::string_view line);

// For a repository that does not record: the fix a hook tool needs beyond `enable`, which its next
// routine run would undo; nothing when enable alone is the fix.
std::optional<std::string> tool_fix(const ToolFacts& facts);
// The warning for a block in a hook that a tool's routine run rewrites; nothing otherwise.
std::optional<std::string> routine_warning(const ToolFacts& facts);

}  // namespace gitactivity
