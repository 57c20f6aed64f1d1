#include "cli/git_activity.hpp"
#include "clock.hpp"
#include "env.hpp"
#include "gitactivity/markers.hpp"
#include "gitactivity/status.hpp"
#include "text.hpp"

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace cli {
namespace {

Json checks_json(const std::vector<gitactivity::Check>& checks) {
  Json list = Json::array();
  for (const gitactivity::Check& c : checks) {
    Json one;
    one["check"] = c.name;
    one["state"] = gitactivity::check_state_text(c.state);
    one["detail"] = c.detail;
    list.push_back(std::move(one));
  }
  return list;
}

void print_checks(const std::vector<gitactivity::Check>& checks, std::ostream& out) {
  for (const gitactivity::Check& c : checks) {
    std::string line(gitactivity::check_state_text(c.state));
    line.resize(9, ' ');
    line += c.name;
    line.resize(std::max<std::size_t>(line.size() + 1, 23), ' ');
    print_line(out, line + c.detail);
  }
}

std::string_view state_text(gitactivity::MarkerState state) {
  switch (state) {
    case gitactivity::MarkerState::Recorded:
      return "recorded";
    case gitactivity::MarkerState::NotRecorded:
      return "not recorded";
    case gitactivity::MarkerState::Gone:
      return "gone";
    case gitactivity::MarkerState::Unreachable:
      return "unreachable";
    case gitactivity::MarkerState::CannotTell:
      return "cannot tell";
  }
  return "unreachable";
}

// The line of a marker whose commits are not recorded, or of a recorded one whose marker is behind
// the latest commit; nothing for the others.
std::optional<std::string> fleet_line(const gitactivity::MarkerStatus& one) {
  if (one.state == gitactivity::MarkerState::Recorded) {
    if (!one.stale) {
      return std::nullopt;
    }
    const auto marker =
        std::find_if(one.checks.begin(), one.checks.end(),
                     [](const gitactivity::Check& c) { return c.name == "marker"; });
    std::string line("stale");
    line.resize(14, ' ');
    return line + pylon::path_text(*one.owner.root) + ": " +
           (marker == one.checks.end() ? std::string() : marker->detail);
  }
  std::string line(state_text(one.state));
  line.resize(14, ' ');
  line += one.owner.root && (one.state == gitactivity::MarkerState::NotRecorded ||
                             one.state == gitactivity::MarkerState::CannotTell)
              ? pylon::path_text(*one.owner.root)
              : pylon::lossy_utf8(one.owner.marker);
  auto problem =
      std::find_if(one.checks.begin(), one.checks.end(), [](const gitactivity::Check& c) {
        return c.state == gitactivity::CheckState::Problem || c.doubt;
      });
  if (one.state == gitactivity::MarkerState::Unreachable && problem == one.checks.end()) {
    problem = one.checks.begin();  // its one check, a warning: why it may be away
  }
  return line + ": " +
         (problem == one.checks.end() ? std::string("see the machine's problem above")
                                      : problem->detail);
}

VerbResult status_all_verb(const GitActivityCall& call) {
  if (call.positionals.size() > 1) {
    return Err{
        HostError::usage("status --all takes no REPO: it checks every repository with a "
                         "marker (`status REPO` checks one)")};
  }
  // an unreadable marker directory is no proof that no repository is there
  if (const auto unreadable = gitactivity::unreadable_marker_dir(call.marker_dir)) {
    return Err{HostError::could_not("read the marker directory", call.marker_dir, *unreadable)};
  }
  const gitactivity::FleetStatus fleet = gitactivity::status_all(
      call.marker_dir, pylon::env_var("PATH").value_or(""),
      pylon::deadline_after(host::timeout_seconds(call.args, gitactivity::walk_seconds)));
  const auto recorded = static_cast<std::size_t>(
      std::count_if(fleet.repos.begin(), fleet.repos.end(), [](const gitactivity::MarkerStatus& r) {
        return r.state == gitactivity::MarkerState::Recorded;
      }));
  // a repository that may be away is a warning; one not recorded, gone, or whose recording
  // cannot be told (as `status REPO` exits 1 for it) is what is wrong
  const bool ok =
      !fleet.deadline_expired && !gitactivity::has_problem(fleet.machine) &&
      std::all_of(fleet.repos.begin(), fleet.repos.end(), [](const gitactivity::MarkerStatus& r) {
        return r.state == gitactivity::MarkerState::Recorded ||
               r.state == gitactivity::MarkerState::Unreachable;
      });
  if (call.json) {
    Json repos = Json::array();
    for (const gitactivity::MarkerStatus& one : fleet.repos) {
      Json item;
      item["marker"] = one.owner.marker;
      item["root"] = one.owner.root ? Json(pylon::path_text(*one.owner.root)) : Json(nullptr);
      item["state"] = state_text(one.state);
      item["checks"] = checks_json(one.checks);
      item["stale"] = one.stale;
      repos.push_back(std::move(item));
    }
    Json value;
    value["ok"] = ok;
    value["machine"] = checks_json(fleet.machine);
    value["repos"] = std::move(repos);
    value["recorded"] = recorded;
    value["total"] = fleet.repos.size();
    value["deadline_expired"] = fleet.deadline_expired;
    emit(call.out, value);
  } else {
    print_checks(fleet.machine, call.out);
    for (const gitactivity::MarkerStatus& one : fleet.repos) {
      if (const auto line = fleet_line(one)) {
        call.out << shown(*line, call.out) << '\n';
      }
    }
    call.out << recorded << " of " << fleet.repos.size() << " repositories recorded"
             << (fleet.deadline_expired
                     ? " — DEADLINE EXPIRED, some markers were not looked at (raise --timeout)"
                     : "")
             << '\n'
             << std::flush;
  }
  return ok ? 0 : 1;
}

}  // namespace

VerbResult status_verb(const GitActivityCall& call) {
  if (call.args.has_flag("--all")) {
    return status_all_verb(call);
  }
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
  const bool doubt = gitactivity::has_doubt(checks);
  const bool ok = !gitactivity::has_problem(checks) && !doubt;
  const bool warned = std::any_of(checks.begin(), checks.end(), [](const gitactivity::Check& c) {
    return c.state == gitactivity::CheckState::Warning;
  });
  if (call.json) {
    Json value;
    value["ok"] = ok;
    value["root"] = status.root;
    value["hooks_dir"] = pylon::path_text(status.hooks_dir);
    value["hook"] = pylon::path_text(status.hook);
    value["enabled"] = status.enabled;
    value["checks"] = checks_json(checks);
    value["stale"] = status.stale;
    emit(call.out, value);
  } else {
    print_checks(checks, call.out);
    print_line(call.out, (ok ? "commits in " + status.root + " are recorded"
                          : doubt && !gitactivity::has_problem(checks)
                              ? "cannot tell whether commits in " + status.root + " are recorded"
                              : "commits in " + status.root + " are NOT recorded") +
                             (ok && warned ? " (see the warnings above)" : ""));
  }
  return ok ? 0 : 1;
}

}  // namespace cli
