#include "cli/git_activity.hpp"
#include "env.hpp"
#include "gitactivity/status.hpp"
#include "text.hpp"

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace cli {

VerbResult status_verb(const GitActivityCall& call) {
  const std::optional<std::string_view> named =
      call.positionals.size() > 1 ? std::optional(call.positionals[1]) : std::nullopt;
  auto repo = repo_arg(named);
  if (!repo) {
    return Err{repo.error()};
  }
  // a repository the user named is that repository, whatever git variables are inherited
  const gitactivity::GitEnv env =
      named ? gitactivity::GitEnv::WithoutLocal : gitactivity::GitEnv::Inherited;
  auto found =
      gitactivity::status(repo.value(), call.marker_dir, env, pylon::env_var("PATH").value_or(""));
  if (!found) {
    return Err{found.error()};
  }
  const gitactivity::Status& status = found.value();
  const std::vector<gitactivity::Check>& checks = status.checks;
  const bool ok = std::none_of(checks.begin(), checks.end(),
                               [](const gitactivity::Check& c) { return c.state == "problem"; });
  const bool warned = std::any_of(checks.begin(), checks.end(),
                                  [](const gitactivity::Check& c) { return c.state == "warning"; });
  if (call.json) {
    Json list = Json::array();
    for (const gitactivity::Check& c : checks) {
      Json one;
      one["check"] = c.name;
      one["state"] = c.state;
      one["detail"] = c.detail;
      list.push_back(std::move(one));
    }
    Json value;
    value["ok"] = ok;
    value["root"] = status.root;
    value["hooks_dir"] = pylon::path_text(status.hooks_dir);
    value["hook"] = pylon::path_text(status.hook);
    value["enabled"] = status.enabled;
    value["checks"] = std::move(list);
    emit(call.out, value);
  } else {
    for (const gitactivity::Check& c : checks) {
      std::string line(c.state);
      line.resize(9, ' ');
      line += c.name;
      line.resize(std::max<std::size_t>(line.size() + 1, 23), ' ');
      call.out << line << c.detail << '\n';
    }
    call.out << (ok ? "commits in " + status.root + " are recorded"
                    : "commits in " + status.root + " are NOT recorded")
             << (ok && warned ? " (see the warnings above)" : "") << '\n'
             << std::flush;
  }
  return ok ? 0 : 1;
}

}  // namespace cli
