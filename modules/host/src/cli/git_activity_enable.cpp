#include "cli/git_activity.hpp"
#include "cli/progress.hpp"
#include "clock.hpp"
#include "env.hpp"
#include "gitactivity/enable.hpp"
#include "gitactivity/global_hooks.hpp"
#include "gitactivity/markers.hpp"
#include "gitactivity/repos.hpp"
#include "gitactivity/volumes.hpp"
#include "text.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace cli {
namespace {

namespace fs = std::filesystem;

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

// A repository the walk found is that repository, whatever git variables we inherited.
constexpr gitactivity::GitEnv walked = gitactivity::GitEnv::WithoutLocal;

// The DIR arguments as given, else ~/work (./work without a HOME). A DIR that is not a directory
// fails the verb before anything is walked; an empty one walks nothing.
Result<std::vector<fs::path>, HostError> roots(const GitActivityCall& call) {
  if (call.positionals.size() < 2) {
    return std::vector<fs::path>{pylon::home_or_dot() / "work"};
  }
  std::vector<fs::path> dirs;
  for (auto dir = call.positionals.begin() + 1; dir != call.positionals.end(); ++dir) {
    if (dir->empty()) {
      continue;
    }
    std::error_code ec;
    if (!fs::is_directory(*dir, ec)) {
      if (!ec) {
        ec = std::make_error_code(std::errc::not_a_directory);
      }
      return Err{HostError::could_not("walk", *dir, ec)};
    }
    // a root that cannot be listed would walk as empty: "0 repo(s)" would be a false success
    if (::faccessat(AT_FDCWD, std::string(*dir).c_str(), R_OK | X_OK, AT_EACCESS) != 0) {
      return Err{HostError::could_not("walk", *dir, pylon::last_os_error())};
    }
    dirs.emplace_back(*dir);
  }
  return dirs;
}

// What a walk over every repository below the roots did.
struct FleetRun {
  enum class Came { Changed, Failed, Unsure };
  std::vector<std::string> changed;
  std::vector<std::pair<std::string, std::string>> failed;  // repository, message
  std::vector<std::pair<std::string, std::string>> unsure;  // repository, why only a write tells
  // what a change means beside the hook tools: its top level or hook, a line each
  std::vector<std::pair<std::string, std::vector<std::string>>> notes;
  std::vector<Came> in_order;  // per repository reported, in processing order
  bool deadline_expired = false;
};

// What one repository's change is, and a dry run's doubt about it.
struct Change {
  std::string what;
  std::string unsure;  // why only the write can tell; empty when the dry run can promise it
  std::vector<std::string> notes;  // what the hook tools mean for it
};
// What was changed in one repository (nothing: there was nothing to change), or why it failed.
using RepoOutcome = Result<std::optional<Change>, HostError>;

// Walks every root under one deadline and applies `act` to each repository found, in order.
FleetRun over_every_repo(const GitActivityCall& call, const std::vector<fs::path>& roots,
                         const std::function<RepoOutcome(const fs::path&)>& act);

// The same over the verb's roots; a root that is not a directory fails it before any walk.
Result<FleetRun, HostError> over_every_repo(
    const GitActivityCall& call, const std::function<RepoOutcome(const fs::path&)>& act) {
  const auto dirs = roots(call);
  if (!dirs) {
    return Err{dirs.error()};
  }
  return over_every_repo(call, dirs.value(), act);
}

FleetRun over_every_repo(const GitActivityCall& call, const std::vector<fs::path>& roots,
                         const std::function<RepoOutcome(const fs::path&)>& act) {
  // one deadline for every root: working through one root's repositories uses up the later walks'
  const auto deadline =
      pylon::deadline_after(host::timeout_seconds(call.args, gitactivity::walk_seconds));
  FleetRun run;
  Progress progress(call.terminal);
  for (const fs::path& root : roots) {
    gitactivity::WalkResult walk =
        gitactivity::find_repos(root, deadline, [&progress] { progress.walked(); });
    run.deadline_expired = run.deadline_expired || walk.deadline_expired;
    progress.found(walk.repos.size());
    for (const fs::path& repo : walk.repos) {
      RepoOutcome outcome = act(repo);
      progress.done();
      if (!outcome) {
        run.failed.emplace_back(pylon::path_text(repo), outcome.error().message());
        run.in_order.push_back(FleetRun::Came::Failed);
      } else if (Change* change = outcome.value() ? &*outcome.value() : nullptr; !change) {
        continue;
      } else if (change->unsure.empty()) {
        if (!change->notes.empty()) {
          run.notes.emplace_back(change->what, std::move(change->notes));
        }
        run.changed.push_back(std::move(change->what));
        run.in_order.push_back(FleetRun::Came::Changed);
      } else {
        run.unsure.emplace_back(pylon::path_text(repo), std::move(change->unsure));
        run.in_order.push_back(FleetRun::Came::Unsure);
      }
    }
  }
  progress.clear();
  if (call.terminal != nullptr) {
    for (const auto& [repo, error] : run.failed) {
      *call.terminal << "pylon-host: " << shown(repo, *call.terminal) << ": "
                     << shown(error, *call.terminal) << '\n';
    }
    call.terminal->flush();
  }
  return run;
}

// Adds the members every walk reports after its own, then prints the object.
void report_json(Json& value, const FleetRun& run, bool dry_run, std::ostream& out,
                 bool with_notes = false) {
  Json failures = Json::array();
  for (const auto& [repo, error] : run.failed) {
    Json one;
    one["repo"] = repo;
    one["error"] = error;
    failures.push_back(std::move(one));
  }
  value["failed"] = std::move(failures);
  value["deadline_expired"] = run.deadline_expired;
  if (with_notes) {
    Json notes = Json::array();
    for (const auto& [root, lines] : run.notes) {
      notes.push_back(Json{{"root", root}, {"notes", lines}});
    }
    value["notes"] = std::move(notes);
  }
  if (dry_run) {
    value["dry_run"] = true;
    Json unsure = Json::array();
    for (const auto& [repo, why] : run.unsure) {
      unsure.push_back(Json{{"repo", repo}, {"reason", why}});
    }
    value["cannot_tell"] = std::move(unsure);
  }
  emit(out, value);
}

// A dry run's lines: what the real run would report, one line per repository, in order.
void report_dry_run(std::string_view would, const FleetRun& run, std::ostream& out) {
  auto changed = run.changed.begin();
  auto failed = run.failed.begin();
  auto unsure = run.unsure.begin();
  for (const FleetRun::Came came : run.in_order) {
    std::string line;
    switch (came) {
      case FleetRun::Came::Failed:
        line = "would fail: " + failed->first + ": " + failed->second;
        ++failed;
        break;
      case FleetRun::Came::Unsure:
        line = "cannot tell without writing: " + unsure->first + ": " + unsure->second;
        ++unsure;
        break;
      case FleetRun::Came::Changed:
        line = std::string(would) + ": " + *changed;
        ++changed;
        break;
    }
    out << shown(line, out) << '\n';
  }
}

void report_line(std::string_view done, const FleetRun& run, std::ostream& out) {
  for (const auto& [what, notes] : run.notes) {
    for (const std::string& note : notes) {
      std::string line = what;
      line += ": ";
      line += note;
      print_line(out, line);
    }
  }
  std::string line = std::string(done) + " in " + std::to_string(run.changed.size()) + " repo(s)";
  if (!run.failed.empty()) {
    line += ", " + std::to_string(run.failed.size()) + " failed";
  }
  if (!run.unsure.empty()) {
    line += ", " + std::to_string(run.unsure.size()) + " cannot tell without writing";
  }
  if (run.deadline_expired) {
    line += " — DEADLINE EXPIRED, the walk is incomplete (raise --timeout)";
  }
  print_line(out, line);
}

// A dry run is for --global alone among enable's and disable's forms.
std::optional<HostError> global_usage(const GitActivityCall& call, std::string_view verb) {
  const bool global = call.args.has_flag("--global");
  std::string message = "'";
  message += verb;
  if (global && second_positional(call)) {
    message += " --global' takes no REPO: the global hooks serve every repository";
  } else if (!global && call.args.has_flag("--dry-run")) {
    message += "' has a dry run with --global only";
  } else {
    return std::nullopt;
  }
  return HostError::usage(message + " (nothing was done)");
}

// enable --global and disable --global.
VerbResult global_verb(const GitActivityCall& call, bool enable) {
  const bool dry_run = call.args.has_flag("--dry-run");
  auto changed =
      enable ? gitactivity::enable_global(dry_run) : gitactivity::disable_global(dry_run);
  if (!changed) {
    return Err{changed.error()};
  }
  const gitactivity::GlobalChange& c = changed.value();
  const std::string config = pylon::path_text(c.config);
  std::optional<gitactivity::BlockCount> blocks;
  if (enable) {
    blocks = gitactivity::count_blocks(call.marker_dir);
  }
  if (call.json) {
    Json value;
    value["ok"] = true;
    value["config"] = config;
    value["changed"] = !c.done.empty();
    value[enable ? "written" : "removed"] = c.done;
    if (blocks) {
      value["known"] = blocks->known;
      value["with_block"] = blocks->with_block;
    } else {
      value["left"] = c.left;
    }
    if (dry_run) {
      value["dry_run"] = true;
    }
    emit(call.out, value);
    return 0;
  }
  for (const std::string& command : dry_run ? c.done : std::vector<std::string>{}) {
    print_line(call.out, "would run: " + command);
  }
  const std::string would = dry_run ? "would be " : "";
  if (enable) {
    print_line(call.out, c.done.empty() ? "git-activity was already enabled globally: " + config
                                        : "git-activity " + would + "enabled globally: " + config);
    print_line(call.out, std::to_string(blocks->with_block) + " of " +
                             std::to_string(blocks->known) +
                             " known repositories also hold the recorder block, which records "
                             "each of their commits a second time (harmless; `pylon host "
                             "git-activity disable-all` takes the blocks out)");
  } else {
    print_line(call.out, c.done.empty() ? "git-activity was not enabled globally"
                                        : "git-activity " + would + "disabled globally: " + config);
    for (const std::string& left : c.left) {
      print_line(call.out, "left as it is, not written by pylon-host: " + left);
    }
  }
  return 0;
}

}  // namespace

VerbResult enable_verb(const GitActivityCall& call) {
  if (auto bad = global_usage(call, "enable")) {
    return Err{*bad};
  }
  if (call.args.has_flag("--global")) {
    return global_verb(call, true);
  }
  auto repo = repo_arg(second_positional(call));
  if (!repo) {
    return Err{repo.error()};
  }
  auto enabled = gitactivity::enable(repo.value(), call.marker_dir, git_env(call));
  if (!enabled) {
    return Err{enabled.error()};
  }
  const gitactivity::Enabled& e = enabled.value();
  // the volume it lies on, so that its marker is not called gone while that volume is away
  gitactivity::remember_mounts(gitactivity::volumes_live(), {e.root});
  auto global = gitactivity::set_opt_out(repo.value(), false, git_env(call));
  if (!global) {
    return Err{
        HostError::failure("git-activity enabled: " + e.root +
                           ", but the global hooks stay off there: " + global.error().message())};
  }
  const gitactivity::RepoOptOut& g = global.value();
  if (call.json) {
    Json value;
    value["ok"] = true;
    value["root"] = e.root;
    value["hook"] = pylon::path_text(e.hook);
    value["marker"] = pylon::path_text(e.marker);
    value["backfilled"] = e.backfilled ? Json(*e.backfilled) : Json(nullptr);
    value["marker_written"] = e.marker_written;
    value["notes"] = e.notes;
    value["global_hooks"] = g.global;
    value["opt_out_removed"] = g.wrote;
    emit(call.out, value);
  } else {
    print_line(call.out, "git-activity enabled: " + e.root);
    for (const std::string& note : e.notes) {
      print_line(call.out, note);
    }
    if (g.wrote) {
      print_line(call.out, "the global hooks are on again here: their opt-out is out of " +
                               pylon::path_text(g.config) +
                               ", which every linked work tree of this repository shares");
    }
    if (g.global) {
      print_line(call.out,
                 "the global hook pylon-git-activity already records this repository: the block "
                 "records each commit a second time, which is harmless");
    }
  }
  return 0;
}

// The line that says what the global hooks do in a repository disable has opted out.
std::optional<std::string> opt_out_line(const gitactivity::RepoOptOut& g) {
  if (!g.global) {
    return std::nullopt;
  }
  if (!g.supported) {
    return "the global hooks still record here: this git does not honour "
           "hook.<name>.enabled=false, "
           "so no opt-out was written (`pylon host git-activity disable --global` stops them "
           "everywhere)";
  }
  return std::string(g.wrote ? "the global hooks are now off here"
                             : "the global hooks were off here already") +
         ": hook.pylon-git-activity.enabled and hook.pylon-git-activity-head.enabled are false "
         "in " +
         pylon::path_text(g.config) + ", which every linked work tree of this repository shares";
}

VerbResult disable_verb(const GitActivityCall& call) {
  if (auto bad = global_usage(call, "disable")) {
    return Err{*bad};
  }
  if (call.args.has_flag("--global")) {
    return global_verb(call, false);
  }
  auto repo = repo_arg(second_positional(call));
  if (!repo) {
    return Err{repo.error()};
  }
  auto disabled =
      gitactivity::disable_everywhere(repo.value(), call.marker_dir, git_env(call), true);
  if (!disabled) {
    return Err{disabled.error()};
  }
  const gitactivity::Disabled& d = disabled.value();
  auto global = gitactivity::set_opt_out(repo.value(), true, git_env(call));
  if (!global) {
    return Err{HostError::failure("the global hooks still record in " +
                                  pylon::path_text(repo.value()) + ": " +
                                  global.error().message())};
  }
  const gitactivity::RepoOptOut& g = global.value();
  const std::optional<fs::path>& hook = d.hook;
  if (call.json) {
    Json value;
    value["ok"] = true;
    value["hook"] = hook ? Json(pylon::path_text(*hook)) : Json(nullptr);
    value["changed"] = hook.has_value() || !d.removed.empty();
    Json removed = Json::array();
    for (const fs::path& path : d.removed) {
      removed.push_back(pylon::path_text(path));
    }
    value["removed"] = std::move(removed);
    value["left"] = d.left;
    value["still_recorded"] = d.still_recorded;
    value["global_opt_out"] = g.global ? Json{{"config", pylon::path_text(g.config)},
                                              {"written", g.wrote},
                                              {"honoured", g.supported}}
                                       : Json(nullptr);
    emit(call.out, value);
    return 0;
  }
  if (hook) {
    print_line(call.out, "git-activity disabled: " + pylon::path_text(*hook));
  }
  for (const fs::path& path : d.removed) {
    print_line(call.out, "git-activity disabled: " + pylon::path_text(path));
  }
  for (const std::string& left : d.left) {
    print_line(call.out, "still there, not disable's to edit: " + left);
  }
  if (!hook && d.removed.empty() && d.left.empty()) {
    print_line(call.out, "git-activity was not enabled here");
  } else if (d.still_recorded) {
    print_line(call.out, "commits here are still recorded until that is done");
  } else if (!d.left.empty()) {
    print_line(call.out, "commits here are no longer recorded");
  }
  if (const auto line = opt_out_line(g)) {
    print_line(call.out, *line);
  }
  return 0;
}

VerbResult enable_all_verb(const GitActivityCall& call) {
  const bool dry_run = call.args.has_flag("--dry-run");
  const auto walked_all = over_every_repo(call, [&](const fs::path& repo) -> RepoOutcome {
    if (dry_run) {
      auto would = gitactivity::would_enable(repo, call.marker_dir, walked);
      if (!would) {
        return Err{would.error()};
      }
      return std::optional<Change>(
          Change{would.value().root, would.value().unsure, would.value().notes});
    }
    auto done = gitactivity::enable(repo, call.marker_dir, walked);
    if (!done) {
      return Err{done.error()};
    }
    return std::optional<Change>(Change{done.value().root, {}, std::move(done.value().notes)});
  });
  if (!walked_all) {
    return Err{walked_all.error()};
  }
  const FleetRun& run = walked_all.value();
  if (!dry_run) {
    gitactivity::remember_mounts(gitactivity::volumes_live(), run.changed);
  }
  if (call.json) {
    Json value;
    value["ok"] = !run.deadline_expired;
    value["dir"] = pylon::path_text(call.marker_dir);
    value["enabled"] = run.changed;
    report_json(value, run, dry_run, call.out, true);
  } else {
    if (dry_run) {
      report_dry_run("would enable", run, call.out);
    }
    report_line(dry_run ? "git-activity would enable" : "git-activity enabled", run, call.out);
  }
  return run.deadline_expired ? 1 : 0;
}

VerbResult disable_all_verb(const GitActivityCall& call) {
  const bool dry_run = call.args.has_flag("--dry-run");
  // a hook that two work trees share is one change: the real run finds it done the second time
  std::set<fs::path> planned;
  const auto walked_all = over_every_repo(call, [&](const fs::path& repo) -> RepoOutcome {
    auto done = gitactivity::disable_everywhere(repo, call.marker_dir, walked, !dry_run);
    if (!done) {
      return Err{done.error()};
    }
    // disabled only where something was taken out; a file that two work trees share is one
    // change: the real run finds it done the second time
    const gitactivity::Disabled& d = done.value();
    std::vector<fs::path> changed;
    if (d.hook) {
      changed.push_back(*d.hook);
    }
    changed.insert(changed.end(), d.removed.begin(), d.removed.end());
    bool fresh = false;
    for (const fs::path& path : changed) {
      fresh = planned.insert(gitactivity::canonical_or_same(path)).second || fresh;
    }
    if (changed.empty() || (dry_run && !fresh)) {
      return std::optional<Change>{};
    }
    // only a dry run doubts: the real run has written
    return std::optional<Change>(
        Change{pylon::path_text(changed.front()), dry_run ? d.unsure : std::string(), {}});
  });
  if (!walked_all) {
    return Err{walked_all.error()};
  }
  const FleetRun& run = walked_all.value();
  if (call.json) {
    Json value;
    value["ok"] = !run.deadline_expired;
    value["disabled"] = run.changed;
    report_json(value, run, dry_run, call.out);
  } else {
    if (dry_run) {
      report_dry_run("would disable", run, call.out);
    }
    report_line(dry_run ? "git-activity would disable" : "git-activity disabled", run, call.out);
  }
  return run.deadline_expired ? 1 : 0;
}

}  // namespace cli
