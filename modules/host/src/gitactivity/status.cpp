#include "gitactivity/status.hpp"

#include "gitactivity/enable.hpp"
#include "gitactivity/hook.hpp"
#include "gitactivity/hook_tools.hpp"
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

// `tracked`: the team's hooks directory, which enable does not edit.
Check hook_check(const fs::path& hook, const std::optional<std::string>& text,
                 const std::string& read_error, bool tracked) {
  const std::string enable_hint = tracked
                                      ? "enable leaves the team's tracked hooks directory alone; " +
                                            by_hand_hint(hook.parent_path())
                                      : std::string("run `pylon host git-activity enable`");
  std::error_code ec;
  const fs::file_status st = fs::status(hook, ec);
  if (!fs::exists(st)) {
    return {"hook", "problem",
            "no post-commit hook at " + pylon::path_text(hook) + ": " + enable_hint};
  }
  if (!fs::is_regular_file(st)) {
    return {"hook", "problem",
            pylon::path_text(hook) + " is not a regular file, so git cannot run it"};
  }
  if (!text) {
    return {"hook", "problem", "cannot read " + pylon::path_text(hook) + ": " + read_error};
  }
  if (!holds_block(*text)) {
    if (holds_legacy_block(*text)) {
      return {"hook", "warning",
              pylon::path_text(hook) + " holds the legacy recorder block: " + enable_hint};
    }
    if (strip_hook(*text)) {
      return {"hook", "problem",
              pylon::path_text(hook) +
                  " holds the recorder block commented out or edited, so it records nothing: " +
                  enable_hint};
    }
    return {"hook", "problem",
            pylon::path_text(hook) + " does not hold the recorder block: " + enable_hint};
  }
  if ((st.permissions() & fs::perms::owner_exec) == fs::perms::none) {
    return {"hook", "problem",
            pylon::path_text(hook) + " is not executable, so git skips it: " + enable_hint +
                " or chmod +x it"};
  }
  return {"hook", "ok", pylon::path_text(hook) + " holds the recorder and is executable"};
}

Check interpreter_check(const fs::path& hook, const std::optional<std::string>& text) {
  if (!text) {
    std::error_code ec;
    if (fs::exists(hook, ec)) {
      return {"interpreter", "warning",
              "cannot tell what runs " + pylon::path_text(hook) + ": unreadable"};
    }
    return {"interpreter", "ok", "no hook to run yet; enable writes a #!/bin/sh one"};
  }
  // git reads "sh\r" as the interpreter's name, which no system has
  if (const std::size_t nl = text->find('\n');
      text->starts_with("#!") && nl != std::string::npos && nl > 0 && (*text)[nl - 1] == '\r') {
    return {"interpreter", "problem",
            "the first line of " + pylon::path_text(hook) +
                " ends in a carriage return, so git cannot run the hook: `pylon host git-activity "
                "enable` rewrites its line endings as line feeds"};
  }
  if (const auto runner = foreign_interpreter(*text)) {
    return {"interpreter", "problem",
            "the hook is run by " + *runner +
                ", not by a shell, so the recorder's shell line cannot run in it"};
  }
  return {"interpreter", "ok", "a shell runs the hook"};
}

Check hooks_dir_check(const fs::path& repo, GitEnv env, const HookSite& site, bool enabled) {
  const fs::path& dir = site.dir;
  if (site.tracked) {
    if (enabled) {
      return {"hooks-dir", "warning",
              pylon::path_text(dir) +
                  " is tracked by git: shared with the team, whose hook records commits here"};
    }
    return {"hooks-dir", "problem",
            pylon::path_text(dir) +
                " is tracked by git: shared with the team, so enable will not edit it"};
  }
  // "global\t/path": the scope of the setting that wins
  if (const auto origin =
          git_line(repo, {"config", "--show-scope", "--get", "core.hooksPath"}, env)) {
    const std::string_view scope = std::string_view(*origin).substr(0, origin->find('\t'));
    if (scope == "global" || scope == "system") {
      return {"hooks-dir", "warning",
              "core.hooksPath comes from the " + std::string(scope) +
                  " configuration: " + pylon::path_text(dir) +
                  " serves every repository, and a block there records for all of them"};
    }
  }
  const auto common = git_line(repo, {"rev-parse", "--git-common-dir"}, env);
  const fs::path git_dir = canonical_or_same(
      common ? (fs::path(*common).is_absolute() ? fs::path(*common) : repo / *common)
             : fs::path(site.root) / ".git");
  const fs::path hooks = canonical_or_same(dir);
  if (lies_within(hooks, git_dir)) {
    return {"hooks-dir", "ok", pylon::path_text(dir) + " is this repository's own"};
  }
  if (lies_within(hooks, canonical_or_same(site.root))) {
    return {"hooks-dir", "warning",
            pylon::path_text(dir) +
                " lies in the work tree (core.hooksPath): it may be shared with other "
                "repositories or replaced by a checkout"};
  }
  return {"hooks-dir", "warning",
          pylon::path_text(dir) +
              " lies outside the repository (core.hooksPath): other repositories may "
              "share it, and removing it stops recording here"};
}

Check path_check(const std::optional<fs::path>& found) {
  if (!found) {
    return {"path", "problem",
            "pylon-host is not on PATH, so the hook skips recording: install it (make install "
            "PREFIX=$HOME/.local) and put its bin directory on PATH"};
  }
  return {"path", "ok", "pylon-host is " + pylon::path_text(*found)};
}

Check desktop_path_check(const std::optional<fs::path>& found) {
  if (const auto there = find_on_path("pylon-host", desktop_path)) {
    return {"desktop-path", "ok", "desktop git clients find " + pylon::path_text(*there)};
  }
  const std::string target = found ? pylon::path_text(*found) : std::string("/path/to/pylon-host");
  return {"desktop-path", "warning",
          "desktop git clients run hooks with PATH=" + std::string(desktop_path) +
              ", where pylon-host is missing: link it there (sudo ln -s " + target +
              " /usr/local/bin/pylon-host)"};
}

// The file-name limit of the directory the marker goes in, asked of what exists of it.
long name_max(const fs::path& marker_dir) {
  return ::pathconf(nearest_existing(marker_dir).c_str(), _PC_NAME_MAX);
}

// Looked at without following links: record writes neither through a link nor into a file that
// has other names.
Check marker_check(const fs::path& repo, GitEnv env, const fs::path& marker_dir,
                   const std::string& root, bool& stale) {
  const std::string name = encode_marker(root);
  if (const long limit = name_max(marker_dir); !marker_name_fits(name, limit)) {
    return {"marker", "problem",
            "no marker can be written for this path: its name is " + std::to_string(name.size()) +
                " bytes, longer than " + pylon::path_text(nearest_existing(marker_dir)) +
                " allows (" + std::to_string(limit > 0 ? limit : 255) + ")"};
  }
  const fs::path marker = marker_dir / name;
  struct stat st {};
  if (::lstat(marker.c_str(), &st) != 0) {
    return {"marker", "warning",
            "no marker at " + pylon::path_text(marker) +
                " yet: run `pylon host git-activity enable`, or commit"};
  }
  if (S_ISLNK(st.st_mode)) {
    return {"marker", "problem",
            pylon::path_text(marker) +
                " is a symbolic link, which record never writes through: remove it"};
  }
  if (!S_ISREG(st.st_mode)) {
    return {"marker", "problem",
            pylon::path_text(marker) + " is not a regular file, so record cannot write it"};
  }
  if (st.st_nlink > 1) {
    return {
        "marker", "problem",
        pylon::path_text(marker) + " has other hard links, so record leaves it alone: remove it"};
  }
  const auto latest = git_line(repo, {"log", "-1", "--format=%ct"}, env);
  const auto commit = latest ? pylon::parse_i64(*latest) : std::nullopt;
  if (commit && static_cast<std::int64_t>(st.st_mtime) < *commit) {
    stale = true;
    const StaleCause cause =
        stale_cause(git_line(repo, {"log", "-g", "-1", "--format=%gs", "HEAD", "--"}, env));
    return {"marker", "warning",
            pylon::path_text(marker) + " is older than the latest commit: " + cause.text +
                "; `pylon host git-activity enable` refreshes it"};
  }
  return {"marker", "ok", pylon::path_text(marker) + " is up to date"};
}

// A hook without the block still records where git reaches the recorder through a hook tool.
Check through_tools(Check hook, const std::vector<Route>& routes, const ToolFacts& tools,
                    const HookSite& site) {
  for (const Route& route : routes) {
    // the recorder's line in the hook git runs counts only where git may run the hook
    if (route.reached && (route.path != site.hook || site.executable)) {
      return {"hook", "ok", "recorded through " + route.via};
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
    return {"tools", "ok", "no hook tool takes the recorder out"};
  }
  std::string detail = warnings.front();
  for (std::size_t i = 1; i < warnings.size(); ++i) {
    detail += "; " + warnings[i];
  }
  return {"tools", "warning", std::move(detail)};
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

Result<Status, host::HostError> repo_status(const fs::path& repo, const fs::path& marker_dir,
                                            GitEnv env) {
  auto located = locate(repo, env, not_a_repository(repo));
  if (!located) {
    return Err{located.error()};
  }
  const HookSite& site = located.value();
  std::optional<std::string> text;
  std::string read_error;
  if (site.text) {
    text = site.text.value();
  } else {
    read_error = site.text.error();
  }
  const bool enabled = text && holds_block(*text);
  const ToolFacts tools = gather_tool_facts(repo, env, site.root, site.dir, text);
  const std::vector<Route> routes = recorder_routes(tools);
  Check hook = hook_check(site.hook, text, read_error, site.tracked);
  if (!enabled) {
    hook = through_tools(std::move(hook), routes, tools, site);
  }
  bool stale = false;
  Check marker = marker_check(repo, env, marker_dir, site.root, stale);
  return Status{site.root,
                site.dir,
                site.hook,
                enabled,
                stale,
                {
                    std::move(hook),
                    interpreter_check(site.hook, text),
                    hooks_dir_check(repo, env, site, enabled),
                    tools_check(tools, routes),
                    std::move(marker),
                }};
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

bool has_problem(const std::vector<Check>& checks) {
  return std::any_of(checks.begin(), checks.end(),
                     [](const Check& c) { return c.state == "problem"; });
}

FleetStatus status_all(const fs::path& marker_dir, std::string_view search_path) {
  FleetStatus fleet{machine_checks(search_path), {}};
  const bool machine_ok = !has_problem(fleet.machine);
  for (MarkerOwner& owner : locate_owners(marker_dir)) {
    MarkerStatus one{std::move(owner), MarkerState::Unreachable, false, {}};
    if (one.owner.state == OwnerState::Gone) {
      one.state = MarkerState::Gone;
      one.checks.push_back({"repository", "problem",
                            "its repository is no longer there: `pylon host git-activity prune` "
                            "removes the marker"});
    } else if (one.owner.state == OwnerState::Unreachable) {
      one.checks.push_back(
          {"repository", "problem", doubt_text(one.owner) + ", so prune keeps the marker"});
    } else {
      // the marker names this repository, whatever git variables are inherited
      auto found = repo_status(*one.owner.root, marker_dir, GitEnv::WithoutLocal);
      if (found) {
        one.stale = found.value().stale;
        one.checks = std::move(found.value().checks);
      } else {
        one.checks.push_back({"repository", "problem", found.error().message()});
      }
      one.state =
          machine_ok && !has_problem(one.checks) ? MarkerState::Recorded : MarkerState::NotRecorded;
    }
    fleet.repos.push_back(std::move(one));
  }
  return fleet;
}

}  // namespace gitactivity
