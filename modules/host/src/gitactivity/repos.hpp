#pragma once

#include "result.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gitactivity {

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

inline constexpr std::uint64_t git_deadline_seconds = 20;

// Why a git query has no answer: `git` could not be run (`reason` is the runner's, "could not run
// `git`: ..."), or it ran and failed.
struct GitFailure {
  bool not_run = false;
  std::string reason;
};
// One `git` query in `dir` within `seconds`: its standard output as bytes, or why not.
Result<std::string, GitFailure> git_query(const std::filesystem::path& dir,
                                          const std::vector<std::string>& args, GitEnv env,
                                          std::uint64_t seconds = git_deadline_seconds);
// git_query's output, or nothing on any failure.
std::optional<std::string> git_output(const std::filesystem::path& dir,
                                      const std::vector<std::string>& args,
                                      GitEnv env = GitEnv::Inherited,
                                      std::uint64_t seconds = git_deadline_seconds);
// A one-answer output without the line feed git ends it with; nothing for an empty answer. White
// space stays: a path may begin or end with it.
std::optional<std::string> git_answer(std::string_view output);
// git_answer of one `git` query in `dir`; nothing on any failure.
std::optional<std::string> git_line(const std::filesystem::path& dir,
                                    const std::vector<std::string>& args,
                                    GitEnv env = GitEnv::Inherited,
                                    std::uint64_t seconds = git_deadline_seconds);
// The `count` answers of a query that prints one path per line, as bytes; nothing unless the
// output is exactly that many non-empty lines, as a line feed in a path would make the split a
// guess.
std::optional<std::vector<std::string>> split_answers(std::string_view output, std::size_t count);
// The top level of the repository holding `dir`: git's answer, else the nearest `.git` upwards.
std::optional<std::filesystem::path> git_toplevel(const std::filesystem::path& dir);
// The nearest directory from `dir` upwards that holds a `.git` of any kind.
std::optional<std::filesystem::path> walk_up_for_dot_git(const std::filesystem::path& dir);
// git_toplevel's answer for the current directory where it is certain without starting git (a
// plain repository's top level); nothing where git must be asked.
std::optional<std::filesystem::path> toplevel_here();
// True when `dir` holds a plain repository whose work tree git can only place at `dir` itself
// (toplevel_here's test, git's variables aside): git would answer with `dir`'s physical path.
bool is_plain_top_level(const std::filesystem::path& dir);

struct WalkResult {
  std::vector<std::filesystem::path> repos;  // sorted component by component, no duplicates
  bool deadline_expired = false;
};
// Every directory below `root` (itself included) that holds `.git`, without entering pruned
// names or following symbolic links below the root. `entered`, when given, hears of every
// directory the walk lists.
WalkResult find_repos(const std::filesystem::path& root,
                      std::chrono::steady_clock::time_point deadline,
                      const std::function<void()>& entered = {});
// The walk's budget in seconds when no `--timeout` is given.
inline constexpr std::uint64_t walk_seconds = 300;

}  // namespace gitactivity
