#include "gitactivity/gitactivity.hpp"
#include "text.hpp"

namespace gitactivity {

using host::HostError;

// Each step asks what enable and disable ask, in the same order, and words a failure alike.
Result<std::string, HostError> would_enable(const fs::path& repo, GitEnv env) {
  const auto root = git_line(repo, {"rev-parse", "--show-toplevel"}, env);
  if (!root) {
    return Err{HostError::failure("not a git repository: " + pylon::lossy_utf8(repo.string()) +
                                  " (run `pylon host git-activity enable <repo>` inside one, or "
                                  "pass its path)")};
  }
  const auto dir = hooks_dir(repo, env);
  if (!dir) {
    return Err{HostError::failure("could not locate the hooks directory for " + *root)};
  }
  const fs::path hook = *dir / "post-commit";
  const auto existing = read_hook(hook);
  if (!existing) {
    return Err{HostError::failure("could not read " + pylon::lossy_utf8(hook.string()) + ": " +
                                  existing.error())};
  }
  if (auto refused = refuse_foreign(hook, existing.value())) {
    return Err{*refused};
  }
  return *root;
}

Result<std::optional<fs::path>, HostError> would_disable(const fs::path& repo, GitEnv env) {
  const auto dir = hooks_dir(repo, env);
  if (!dir) {
    return Err{HostError::failure("not a git repository: " + pylon::lossy_utf8(repo.string()))};
  }
  const fs::path hook = *dir / "post-commit";
  const auto existing = read_hook(hook);
  if (!existing || !existing.value() || !strip_hook(*existing.value())) {
    return std::optional<fs::path>{};
  }
  return std::optional<fs::path>{hook};
}

}  // namespace gitactivity
