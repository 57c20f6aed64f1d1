#include "cli/git_activity.hpp"
#include "gitactivity/gitactivity.hpp"
#include "text.hpp"

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

namespace cli {
namespace {

namespace fs = std::filesystem;

std::string shown(const fs::path& path) {
  return pylon::lossy_utf8(path.string());
}

std::optional<std::string_view> second_positional(const GitActivityCall& call) {
  if (call.positionals.size() < 2) {
    return std::nullopt;
  }
  return call.positionals[1];
}

// A repository the user named is that repository, whatever git variables we inherited.
gitactivity::GitEnv git_env(const GitActivityCall& call) {
  return second_positional(call) ? gitactivity::GitEnv::WithoutLocal
                                 : gitactivity::GitEnv::Inherited;
}

// The DIR arguments as given, else ~/work (./work without a HOME).
std::vector<fs::path> roots(const GitActivityCall& call) {
  if (call.positionals.size() > 1) {
    return {call.positionals.begin() + 1, call.positionals.end()};
  }
  const char* home = std::getenv("HOME");
  return {fs::path(home != nullptr ? home : ".") / "work"};
}

}  // namespace

VerbResult enable_verb(const GitActivityCall& call) {
  auto repo = repo_arg(second_positional(call));
  if (!repo) {
    return Err{repo.error()};
  }
  auto enabled = gitactivity::enable(repo.value(), call.marker_dir, git_env(call));
  if (!enabled) {
    return Err{enabled.error()};
  }
  const gitactivity::Enabled& e = enabled.value();
  if (call.json) {
    Json value;
    value["ok"] = true;
    value["root"] = e.root;
    value["hook"] = shown(e.hook);
    value["marker"] = shown(e.marker);
    value["backfilled"] = e.backfilled ? Json(*e.backfilled) : Json(nullptr);
    emit(call.out, value);
  } else {
    call.out << "git-activity enabled: " << e.root << '\n' << std::flush;
  }
  return 0;
}

VerbResult disable_verb(const GitActivityCall& call) {
  auto repo = repo_arg(second_positional(call));
  if (!repo) {
    return Err{repo.error()};
  }
  auto disabled = gitactivity::disable(repo.value(), git_env(call));
  if (!disabled) {
    return Err{disabled.error()};
  }
  const std::optional<fs::path>& hook = disabled.value();
  if (call.json) {
    Json value;
    value["ok"] = true;
    value["hook"] = hook ? Json(shown(*hook)) : Json(nullptr);
    value["changed"] = hook.has_value();
    emit(call.out, value);
  } else if (hook) {
    call.out << "git-activity disabled: " << shown(*hook) << '\n' << std::flush;
  } else {
    call.out << "git-activity was not enabled here\n" << std::flush;
  }
  return 0;
}

VerbResult enable_all_verb(const GitActivityCall& call) {
  // one deadline for every root: enabling the repositories of one root uses up the later walks'
  const auto deadline = gitactivity::deadline_after(gitactivity::walk_deadline(call.args));
  std::vector<std::string> enabled;
  std::vector<std::pair<std::string, std::string>> failed;
  bool deadline_expired = false;
  for (const fs::path& root : roots(call)) {
    gitactivity::WalkResult walk = gitactivity::find_repos(root, deadline);
    deadline_expired = deadline_expired || walk.deadline_expired;
    for (const fs::path& repo : walk.repos) {
      auto done = gitactivity::enable(repo, call.marker_dir, gitactivity::GitEnv::WithoutLocal);
      if (done) {
        enabled.push_back(done.value().root);
      } else {
        failed.emplace_back(shown(repo), done.error().message());
      }
    }
  }

  if (call.json) {
    Json failures = Json::array();
    for (const auto& [repo, error] : failed) {
      Json one;
      one["repo"] = repo;
      one["error"] = error;
      failures.push_back(std::move(one));
    }
    Json value;
    value["ok"] = !deadline_expired;
    value["dir"] = shown(call.marker_dir);
    value["enabled"] = enabled;
    value["failed"] = std::move(failures);
    value["deadline_expired"] = deadline_expired;
    emit(call.out, value);
  } else {
    std::string line = "git-activity enabled in " + std::to_string(enabled.size()) + " repo(s)";
    if (!failed.empty()) {
      line += ", " + std::to_string(failed.size()) + " failed";
    }
    if (deadline_expired) {
      line += " \xE2\x80\x94 DEADLINE EXPIRED, the walk is incomplete (raise --timeout)";
    }
    call.out << line << '\n' << std::flush;
  }
  return deadline_expired ? 1 : 0;
}

}  // namespace cli
