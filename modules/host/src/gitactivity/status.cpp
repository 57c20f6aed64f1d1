#include "gitactivity/status.hpp"

#include "files.hpp"
#include "gitactivity/enable.hpp"
#include "gitactivity/facts.hpp"
#include "gitactivity/hook.hpp"
#include "gitactivity/hook_tools.hpp"
#include "gitactivity/journal.hpp"
#include "gitactivity/markers.hpp"
#include "gitactivity/stale.hpp"
#include "text.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

// The search path desktop git clients give hooks: not the login shell's.
#ifdef __APPLE__
constexpr std::string_view desktop_path = "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
#else
constexpr std::string_view desktop_path = "/usr/local/bin:/usr/bin:/bin";
#endif

std::string enable_hint(const HookSite& site) {
  return site.tracked
             ? "enable leaves the team's tracked hooks directory alone; " + by_hand_hint(site.dir)
             : std::string("run `pylon host git-activity enable`");
}

// Recorded only where git will run the hook and reach the recorder in it.
Check hook_check(const HookSite& site) {
  const std::string hook = pylon::path_text(site.hook);
  if (site.text && !site.text.value()) {
    return {"hook", CheckState::Problem,
            "no post-commit hook at " + hook + ": " + enable_hint(site)};
  }
  if (!site.regular) {
    return {"hook", CheckState::Problem, hook + " is not a regular file, so git cannot run it"};
  }
  if (!site.text) {
    return {"hook", CheckState::Problem, "cannot read " + hook + ": " + site.text.error()};
  }
  const std::string& text = *site.text.value();
  const RecorderPlace place = recorder_place(text);
  if (place == RecorderPlace::None) {
    if (holds_legacy_block(text)) {
      return {"hook", CheckState::Warning,
              hook + " holds the legacy recorder block: " + enable_hint(site)};
    }
    if (strip_hook(text)) {
      return {"hook", CheckState::Problem,
              hook + " holds the recorder block commented out or edited, so it records nothing: " +
                  enable_hint(site)};
    }
    return {"hook", CheckState::Problem,
            hook + " does not hold the recorder block: " + enable_hint(site)};
  }
  if (site.exec_error) {
    return {"hook", CheckState::Problem,
            hook + " is not executable for this user (" + pylon::os_text(site.exec_error) +
                "), so git skips it: " + enable_hint(site) + " or chmod +x it"};
  }
  if (interpreter_line_has_cr(text)) {
    return {"hook", CheckState::Problem,
            hook +
                " has a carriage return at the end of its #! line (CRLF line endings), so "
                "the system cannot start it: " +
                enable_hint(site)};
  }
  if (place == RecorderPlace::Elsewhere) {
    return {"hook", CheckState::Warning,
            "cannot tell whether git reaches the recorder in " + hook +
                ": it stands below other commands (an exec, a condition, a function); make it "
                "the hook's last line, or remove it and " +
                enable_hint(site) + " to put the recorder first",
            true};
  }
  return {"hook", CheckState::Ok, hook + " holds the recorder and is executable"};
}

Check interpreter_check(const HookSite& site) {
  if (!site.text) {
    return {"interpreter", CheckState::Warning,
            "cannot tell what runs " + pylon::path_text(site.hook) + ": unreadable"};
  }
  if (!site.text.value()) {
    return {"interpreter", CheckState::Ok, "no hook to run yet; enable writes a #!/bin/sh one"};
  }
  const std::string& text = *site.text.value();
  // git reads "sh\r" as the interpreter's name, which no system has
  if (interpreter_line_has_cr(text)) {
    return {"interpreter", CheckState::Problem,
            "the first line of " + pylon::path_text(site.hook) +
                " ends in a carriage return, so git cannot run the hook: `pylon host git-activity "
                "enable` rewrites its line endings as line feeds"};
  }
  if (const auto runner = foreign_interpreter(text)) {
    return {"interpreter", CheckState::Problem,
            "the hook is run by " + *runner +
                ", not by a shell, so the recorder's shell line cannot run in it"};
  }
  return {"interpreter", CheckState::Ok, "a shell runs the hook"};
}

Check hooks_dir_check(const RepoFacts& facts, bool enabled) {
  const fs::path& dir = facts.hook.dir;
  if (facts.hook.tracked) {
    if (enabled) {
      return {"hooks-dir", CheckState::Warning,
              pylon::path_text(dir) +
                  " is tracked by git: shared with the team, whose hook records commits here"};
    }
    return {"hooks-dir", CheckState::Problem,
            pylon::path_text(dir) +
                " is tracked by git: shared with the team, so enable will not edit it"};
  }
  if (const auto& scope = facts.hooks_path_scope;
      scope && (*scope == "global" || *scope == "system")) {
    return {"hooks-dir", CheckState::Warning,
            "core.hooksPath comes from the " + *scope + " configuration: " + pylon::path_text(dir) +
                " serves every repository, and a block there records for all of them"};
  }
  if (facts.hook.in_git_dir) {
    return {"hooks-dir", CheckState::Ok, pylon::path_text(dir) + " is this repository's own"};
  }
  if (lies_within(canonical_or_same(dir), canonical_or_same(facts.root))) {
    return {"hooks-dir", CheckState::Warning,
            pylon::path_text(dir) +
                " lies in the work tree (core.hooksPath): it may be shared with other "
                "repositories or replaced by a checkout"};
  }
  return {"hooks-dir", CheckState::Warning,
          pylon::path_text(dir) +
              " lies outside the repository (core.hooksPath): other repositories may "
              "share it, and removing it stops recording here"};
}

Check path_check(const std::optional<fs::path>& found) {
  if (!found) {
    return {"path", CheckState::Problem,
            "pylon-host is not on PATH, so the hook skips recording: install it (make install "
            "PREFIX=$HOME/.local) and put its bin directory on PATH"};
  }
  return {"path", CheckState::Ok, "pylon-host is " + pylon::path_text(*found)};
}

Check desktop_path_check(const std::optional<fs::path>& found) {
  if (const auto there = find_on_path("pylon-host", desktop_path)) {
    return {"desktop-path", CheckState::Ok, "desktop git clients find " + pylon::path_text(*there)};
  }
  const std::string target = found ? pylon::path_text(*found) : std::string("/path/to/pylon-host");
  return {"desktop-path", CheckState::Warning,
          "desktop git clients run hooks with PATH=" + std::string(desktop_path) +
              ", where pylon-host is missing: link it there (sudo ln -s " + target +
              " /usr/local/bin/pylon-host)"};
}

// Looked at without following links: record writes neither through a link nor into a file that
// has other names; a marker directory that does not exist yet is made by the first commit.
Check marker_check(const RepoFacts& facts) {
  const MarkerSlot& marker = facts.marker;
  const std::string path = pylon::path_text(marker.path);
  if (marker.standing == Standing::Missing && !marker.dir_error &&
      !marker_name_fits(marker.name, marker.name_max)) {
    return {"marker", CheckState::Problem,
            "no marker can be written for this path: its name is " +
                std::to_string(marker.name.size()) + " bytes, longer than " +
                pylon::path_text(nearest_existing(marker.dir)) + " allows (" +
                std::to_string(marker.name_max) + ")"};
  }
  if (marker.dir_error) {
    return {"marker", CheckState::Problem,
            "record cannot write markers in " + pylon::path_text(marker.dir) + ": " +
                pylon::os_text(marker.dir_error)};
  }
  switch (marker.standing) {
    case Standing::Missing:
      if (marker.dir_standing == Standing::Directory && marker.open_error) {
        return {"marker", CheckState::Problem,
                "record cannot create " + path + ": " + pylon::os_text(marker.open_error)};
      }
      return {"marker", CheckState::Warning,
              "no marker at " + path + " yet: run `pylon host git-activity enable`, or commit"};
    case Standing::Link:
      return {"marker", CheckState::Problem,
              path + " is a symbolic link, which record never writes through: remove it"};
    case Standing::Directory:
    case Standing::Other:
      return {"marker", CheckState::Problem,
              path + " is not a regular file, so record cannot write it"};
    case Standing::Regular:
      break;
  }
  if (marker.other_links) {
    return {"marker", CheckState::Problem,
            path + " has other hard links, so record leaves it alone: remove it"};
  }
  if (marker.open_error) {
    return {"marker", CheckState::Problem,
            "record cannot write " + path + ": " + pylon::os_text(marker.open_error)};
  }
  if (facts.latest_commit && marker.mtime && *marker.mtime < *facts.latest_commit) {
    return {"marker", CheckState::Warning,
            path + " is older than the latest commit: " + stale_cause(facts.reflog_subject).text +
                "; `pylon host git-activity enable` refreshes it"};
  }
  return {"marker", CheckState::Ok, path + " is up to date"};
}

// The marker is older than the latest commit: a warning, never a problem.
bool marker_stale(const RepoFacts& facts) {
  return facts.latest_commit && facts.marker.standing == Standing::Regular && facts.marker.mtime &&
         *facts.marker.mtime < *facts.latest_commit;
}

// A hook without the block still records where git reaches the recorder through a hook tool.
Check through_tools(Check hook, const std::vector<Route>& routes, const ToolFacts& tools,
                    const HookSite& site) {
  // git runs the tool's hook only where this user may execute it and the system can start it
  const bool runs = site.regular && !site.exec_error && site.text && site.text.value() &&
                    !interpreter_line_has_cr(*site.text.value());
  for (const Route& route : routes) {
    if (route.reached && runs) {
      return {"hook", CheckState::Ok, "recorded through " + route.via};
    }
  }
  for (const Route& route : routes) {
    hook.detail += "; the recorder stands in " + route.via;
  }
  if (auto fix = tool_fix(tools)) {
    hook.detail += "; " + *fix;
  }
  return hook;
}

// The tools' warnings: a block a routine run takes out, copies that nothing runs.
Check tools_check(const ToolFacts& tools, const std::vector<Route>& routes) {
  std::vector<std::string> warnings;
  if (auto routine = routine_warning(tools)) {
    warnings.push_back(std::move(*routine));
  }
  for (const Route& route : routes) {
    if (!route.reached && route.removable) {
      warnings.push_back("a copy of the recorder stands in " + route.via +
                         ": `pylon host git-activity disable` removes it");
    }
  }
  if (tools.legacy.text && runs_recorder(*tools.legacy.text) &&
      hook_runner(tools.hooks_dir, tools.hook) == HookTool::PreCommit) {
    warnings.push_back("`pre-commit install -f` deletes " + pylon::path_text(tools.legacy.path) +
                       " and with it the recorder");
  }
  if (warnings.empty()) {
    return {"tools", CheckState::Ok, "no hook tool takes the recorder out"};
  }
  std::string detail = warnings.front();
  for (std::size_t i = 1; i < warnings.size(); ++i) {
    detail += "; " + warnings[i];
  }
  return {"tools", CheckState::Warning, std::move(detail)};
}

}  // namespace

std::optional<fs::path> find_on_path(std::string_view program, std::string_view search_path) {
  while (true) {
    const std::size_t colon = search_path.find(':');
    const std::string_view entry = search_path.substr(0, colon);
    // an empty entry is the current directory, as the shell reads it
    const fs::path candidate = fs::path(entry.empty() ? "." : entry) / program;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string_view::npos) {
      return std::nullopt;
    }
    search_path.remove_prefix(colon + 1);
  }
}

bool marker_name_fits(std::string_view name, long name_max) {
  return name.size() <= static_cast<std::size_t>(name_max > 0 ? name_max : 255);
}

std::vector<Check> machine_checks(std::string_view search_path) {
  const std::optional<fs::path> found = find_on_path("pylon-host", search_path);
  return {path_check(found), desktop_path_check(found)};
}

std::vector<Check> repo_checks(const RepoFacts& facts) {
  const std::optional<std::string>* text = facts.hook.text ? &facts.hook.text.value() : nullptr;
  const bool enabled = text != nullptr && *text && recorder_place(**text) != RecorderPlace::None;
  const std::vector<Route> routes = recorder_routes(facts.tools);
  Check hook = hook_check(facts.hook);
  // a tool's generated hook runs the recorder from its configuration: the tool's route decides,
  // whatever the generated lines above the recorder's (simple-git-hooks' `exit 0` when skipped)
  const bool generated = hook.doubt && hook_runner(facts.tools.hooks_dir, facts.tools.hook);
  if (!enabled || generated) {
    hook = through_tools(std::move(hook), routes, facts.tools, facts.hook);
  }
  return {std::move(hook), interpreter_check(facts.hook), hooks_dir_check(facts, enabled),
          tools_check(facts.tools, routes), marker_check(facts)};
}

Result<Status, host::HostError> repo_status(const fs::path& repo, const fs::path& marker_dir,
                                            GitEnv env) {
  auto gathered =
      gather_repo_facts(repo, env, marker_dir, not_a_repository(repo), FactsWanted{true, true});
  if (!gathered) {
    return Err{gathered.error()};
  }
  const RepoFacts& facts = gathered.value();
  const auto& text = facts.hook.text;
  const bool enabled = text && text.value() && recorder_place(*text.value()) != RecorderPlace::None;
  return Status{pylon::lossy_utf8(facts.root), facts.hook.dir,    facts.hook.hook, enabled,
                marker_stale(facts),           repo_checks(facts)};
}

Result<Status, host::HostError> status(const fs::path& repo, const fs::path& marker_dir, GitEnv env,
                                       std::string_view search_path) {
  auto found = repo_status(repo, marker_dir, env);
  if (!found) {
    return found;
  }
  std::vector<Check>& checks = found.value().checks;
  std::vector<Check> machine = machine_checks(search_path);
  checks.insert(checks.end() - 1, machine.begin(), machine.end());  // before the marker's
  return found;
}

std::string_view check_state_text(CheckState state) {
  switch (state) {
    case CheckState::Ok:
      return "ok";
    case CheckState::Warning:
      return "warning";
    case CheckState::Problem:
      break;
  }
  return "problem";
}

bool has_problem(const std::vector<Check>& checks) {
  return std::any_of(checks.begin(), checks.end(),
                     [](const Check& c) { return c.state == CheckState::Problem; });
}

bool has_doubt(const std::vector<Check>& checks) {
  return std::any_of(checks.begin(), checks.end(), [](const Check& c) { return c.doubt; });
}

FleetStatus status_all(const fs::path& marker_dir, std::string_view search_path,
                       std::chrono::steady_clock::time_point deadline) {
  FleetStatus fleet{machine_checks(search_path), {}, false};
  const bool machine_ok = !has_problem(fleet.machine);
  for (MarkerOwner& owner : locate_owners(marker_dir, deadline)) {
    MarkerStatus one{std::move(owner), MarkerState::Unreachable, false, {}};
    if (one.owner.state == OwnerState::Gone) {
      one.state = MarkerState::Gone;
      one.checks.push_back({"repository", CheckState::Problem,
                            "its repository is no longer there: `pylon host git-activity prune` "
                            "removes the marker"});
    } else if (one.owner.out_of_time) {
      fleet.deadline_expired = true;
      one.checks.push_back({"repository", CheckState::Problem, one.owner.reason});
    } else if (one.owner.state == OwnerState::Unreachable) {
      // a name that is not UTF-8 cannot be typed as shown: give the shell's spelling of its bytes
      const std::string typed =
          pylon::is_utf8(one.owner.marker) ? "NAME" : "$'" + escape_bytes(one.owner.marker) + "'";
      one.checks.push_back({"repository", CheckState::Warning,
                            one.owner.reason +
                                ", so prune keeps the marker (if the repository is truly gone, "
                                "`pylon host git-activity prune " +
                                typed + "` removes it)"});
    } else {
      // the marker names this repository, whatever git variables are inherited
      auto found = repo_status(*one.owner.root, marker_dir, GitEnv::WithoutLocal);
      if (found) {
        one.stale = found.value().stale;
        one.checks = std::move(found.value().checks);
      } else {
        one.checks.push_back({"repository", CheckState::Problem, found.error().message()});
      }
      one.state = !machine_ok || has_problem(one.checks) ? MarkerState::NotRecorded
                  : has_doubt(one.checks)                ? MarkerState::CannotTell
                                                         : MarkerState::Recorded;
    }
    fleet.repos.push_back(std::move(one));
  }
  return fleet;
}

}  // namespace gitactivity
