#pragma once

#include "gitactivity/hook_tools.hpp"
#include "gitactivity/repos.hpp"
#include "host_error.hpp"
#include "result.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

// What the world says about one repository, gathered once: enable, disable, their dry runs and
// status all judge the same RepoFacts with pure rules (plan_enable, plan_disable, the status
// checks). A new question about a repository is a field here, asked in gather_repo_facts; a new
// refusal is a rule over the fields, with a row in that rule's table test.

namespace gitactivity {

// What stands at a name a write would touch, links not followed.
enum class Standing { Missing, Regular, Directory, Link, Other };

// The hook and its directory as a write would meet them.
struct HookSite {
  std::filesystem::path dir;         // the hooks directory, as git names it (made absolute)
  std::filesystem::path hook;        // dir / "post-commit"
  bool dir_exists = false;           // a directory, links followed
  std::error_code dir_error;         // why the hooks directory can be neither used nor created
  std::error_code write_error;       // why no new file can take the hook's (final target's) place
  std::error_code chmod_error;       // why the hook's mode cannot be changed
  std::error_code exec_error;        // why this user may not execute the hook (the kernel's answer)
  bool executable = false;           // an execute bit beside each read bit already (with_exec)
  bool unreadable_to_owner = false;  // so with_exec gives the owner no execute bit
  bool regular = false;              // the hook (links followed) is a regular file
  bool tracked = false;              // the team's: git tracks files in the directory, or cannot say
  bool in_git_dir = false;           // the directory lies in the common git directory
  // the refusal of a link on the way to the hook whose owner is not the hook's
  std::optional<host::HostError> foreign_link;
  // the configuration file that sets the hooks path, when one does
  std::optional<std::filesystem::path> config;
  // the refusal of a hooks path set in a file another user may change
  std::optional<host::HostError> foreign_config;
  Result<std::optional<std::string>, std::string> text{std::optional<std::string>{}};
  // why the answers above cannot promise a write here (a pseudo or full file system); empty when
  // they can
  std::string only_a_write_tells;
};

// The repository's marker as record would meet it.
struct MarkerSlot {
  std::filesystem::path dir;   // the marker directory
  std::filesystem::path path;  // dir / name
  std::string name;            // the top level's display text with "/" as "-", as record names it
  long name_max = 255;         // the file-name limit where the marker goes
  Standing dir_standing = Standing::Missing;  // links followed
  // why this user can neither use nor create the directory (a file on the way, a link to
  // nowhere, no permission)
  std::error_code dir_error;
  Standing standing = Standing::Missing;  // what stands at the marker's name
  bool other_links = false;               // a regular file with other hard links
  std::error_code open_error;             // why this user may not open it for writing
  std::optional<std::int64_t> mtime;      // a regular marker's time
  std::string only_a_write_tells;         // as for the hook
};

struct RepoFacts {
  std::string root;                      // the top level, git's bytes
  std::filesystem::path git_common_dir;  // absolute
  bool hooks_path_set = false;           // the hooks directory is not the common one's `hooks`
  HookSite hook;
  MarkerSlot marker;
  std::optional<std::int64_t> latest_commit;  // asked only where a rule needs it
  // the configuration scope ("local", "global", ...) that sets core.hooksPath, asked with the
  // file that sets it where the hooks path is set
  std::optional<std::string> hooks_path_scope;
  // the hook tools beside the hook: their hooks, the copies they keep, their configurations
  ToolFacts tools;
  // the subject of HEAD's newest reflog entry, asked with the latest commit's time where a rule
  // needs it: why no post-commit ran, when the marker is older
  std::optional<std::string> reflog_subject;
};

// Which optional questions a judgement needs answered.
struct FactsWanted {
  bool latest_commit = false;  // also asked, whatever this says, when a write may hinge on it
  bool stale_cause = false;    // the latest commit's time and how it came, in one git run
  // a hooks path git will not give for a top level it gave is enable's own failure, naming the
  // top level, rather than `outside`
  bool hooks_named = false;
};

// Gathers the facts of the repository at `repo`: one git run for the top level, the common git
// directory and the hooks path; the tracked question only where the hooks directory lies outside
// the common git directory; `outside` is the failure for a directory in no repository, and a
// `git` that cannot be run fails with the runner's reason.
Result<RepoFacts, host::HostError> gather_repo_facts(const std::filesystem::path& repo, GitEnv env,
                                                     const std::filesystem::path& marker_dir,
                                                     const host::HostError& outside,
                                                     FactsWanted wanted = {});

// The latest commit's time in the repository at `dir`; nothing without one. The one place that
// asks git for it.
std::optional<std::int64_t> latest_commit_time(const std::filesystem::path& dir, GitEnv env);

}  // namespace gitactivity
