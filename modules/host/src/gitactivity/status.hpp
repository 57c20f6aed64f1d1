#pragma once

#include "gitactivity/repos.hpp"
#include "host_error.hpp"
#include "result.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gitactivity {

// One thing that decides whether commits are recorded.
struct Check {
  std::string_view name;
  std::string_view state;  // "ok", "warning" or "problem"
  std::string detail;
};

struct Status {
  std::string root;
  std::filesystem::path hooks_dir;
  std::filesystem::path hook;
  bool enabled = false;  // the hook holds the current block
  std::vector<Check> checks;
};

// What keeps the repository's commits from being recorded, found without writing anything.
// `search_path` is the PATH the hook would search.
Result<Status, host::HostError> status(const std::filesystem::path& repo,
                                       const std::filesystem::path& marker_dir, GitEnv env,
                                       std::string_view search_path);

// True when a file of this name can exist in a directory whose name limit pathconf gives as
// `name_max` (0 or less: unknown, and 255 is assumed).
bool marker_name_fits(std::string_view name, long name_max);

// The first executable regular file named `program` in a colon-separated search path, read as
// the shell reads it (an empty entry is the current directory).
std::optional<std::filesystem::path> find_on_path(std::string_view program,
                                                  std::string_view search_path);

}  // namespace gitactivity
