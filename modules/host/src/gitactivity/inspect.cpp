#include "gitactivity/hook.hpp"

namespace gitactivity {

namespace fs = std::filesystem;

using host::HostError;

// Each step asks what enable and disable ask, in the same order, and words a failure alike.
Result<std::string, HostError> would_enable(const fs::path& repo, GitEnv env) {
  const auto root = git_line(repo, {"rev-parse", "--show-toplevel"}, env);
  if (!root) {
    return Err{not_a_repository_to_enable(repo)};
  }
  const auto dir = hooks_dir(repo, env);
  if (!dir) {
    return Err{no_hooks_dir(*root)};
  }
  const fs::path hook = *dir / "post-commit";
  const auto existing = read_hook(hook);
  if (!existing) {
    return Err{HostError::could_not("read", hook, existing.error())};
  }
  if (auto refused = refuse_foreign(hook, existing.value())) {
    return Err{*refused};
  }
  return *root;
}

}  // namespace gitactivity
