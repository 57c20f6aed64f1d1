#include "files.hpp"
#include "gitactivity/gitactivity.hpp"
#include "text.hpp"

namespace gitactivity {
namespace {

using host::HostError;

std::string shown(const fs::path& path) {
  return pylon::lossy_utf8(path.string());
}

}  // namespace

std::optional<fs::path> hook_file(const fs::path& repo) {
  const auto answer = git_line(repo, {"rev-parse", "--git-path", "hooks"});
  if (!answer) {
    return std::nullopt;
  }
  const fs::path dir(*answer);
  return (dir.is_absolute() ? dir : repo / dir) / "post-commit";
}

Result<std::optional<std::string>, std::string> hook_text(const fs::path& hook) {
  auto bytes = pylon::read_file(hook);
  if (!bytes) {
    if (bytes.error() == std::errc::no_such_file_or_directory) {
      return std::optional<std::string>{};
    }
    return Err{pylon::os_text(bytes.error())};
  }
  if (!pylon::is_utf8(bytes.value())) {
    return Err{std::string("the file is not valid UTF-8 text")};
  }
  return std::optional<std::string>{std::move(bytes).value()};
}

Result<std::string, HostError> would_enable(const fs::path& repo) {
  const auto root = git_line(repo, {"rev-parse", "--show-toplevel"});
  if (!root) {
    return Err{HostError::failure("not a git repository: " + shown(repo) +
                                  " (run `pylon host git-activity enable <repo>` inside one, or "
                                  "pass its path)")};
  }
  const auto hook = hook_file(repo);
  if (!hook) {
    return Err{HostError::failure("could not locate the hooks directory for " + *root)};
  }
  if (auto text = hook_text(*hook); !text) {
    return Err{HostError::failure("could not read " + shown(*hook) + ": " + text.error())};
  }
  return *root;
}

Result<std::optional<fs::path>, HostError> would_disable(const fs::path& repo) {
  const auto hook = hook_file(repo);
  if (!hook) {
    return Err{HostError::failure("not a git repository: " + shown(repo))};
  }
  const auto text = hook_text(*hook);
  if (!text || !text.value() || !strip_hook(*text.value())) {
    return std::optional<fs::path>{};
  }
  return std::optional<fs::path>{*hook};
}

}  // namespace gitactivity
