#include "cli/git_activity.hpp"

#include "cli/verbs.hpp"
#include "clock.hpp"
#include "gitactivity/facts.hpp"
#include "gitactivity/markers.hpp"
#include "gitactivity/migrate.hpp"
#include "gitactivity/owner.hpp"
#include "gitactivity/repos.hpp"
#include "text.hpp"

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

namespace cli {
namespace {

namespace fs = std::filesystem;

std::string_view owner_state_text(gitactivity::OwnerState state) {
  switch (state) {
    case gitactivity::OwnerState::Found:
      return "found";
    case gitactivity::OwnerState::Gone:
      return "gone";
    case gitactivity::OwnerState::Unreachable:
      return "unreachable";
  }
  return "unreachable";
}

// A listing's deadline, as for every listing the program makes.
constexpr std::uint64_t list_seconds = 60;

// Each marker's repository by the rule status --all and prune judge it by (locate_owner).
VerbResult list_verb(const GitActivityCall& call) {
  const std::vector<gitactivity::Marker> markers = gitactivity::read_markers(call.marker_dir);
  const std::int64_t now = gitactivity::now_epoch();
  // the owner rule's bounds hold here too: one look at the mounts, and a listing's deadline after
  // which the markers not yet looked at are unreachable
  const gitactivity::Volumes volumes = gitactivity::volumes_live();
  const auto deadline = pylon::deadline_after(list_seconds);
  gitactivity::AncestorMemo memo;
  const auto owner_of = [&](const std::string& name) {
    return std::chrono::steady_clock::now() < deadline
               ? gitactivity::locate_owner(name, volumes, &memo)
               : gitactivity::out_of_time(name);
  };
  // the repository, else the directory the name spells where there is one
  const auto place_of = [](const gitactivity::MarkerOwner& owner) {
    return owner.root ? owner.root : gitactivity::spelled_directory(owner.marker);
  };
  if (call.json) {
    Json items = Json::array();
    for (const gitactivity::Marker& marker : markers) {
      const gitactivity::MarkerOwner owner = owner_of(marker.name);
      Json item = Json::object();
      item["marker"] = pylon::lossy_utf8(marker.name);
      item["epoch"] = marker.epoch;
      const auto place = place_of(owner);
      item["repo"] = place ? Json(pylon::path_text(*place)) : Json(nullptr);
      item["state"] = owner_state_text(owner.state);
      items.push_back(std::move(item));
    }
    Json result = Json::object();
    result["ok"] = true;
    result["dir"] = pylon::path_text(call.marker_dir);
    result["count"] = markers.size();
    result["markers"] = std::move(items);
    emit(call.out, result);
    return 0;
  }
  if (markers.empty()) {
    call.out << "no markers in " << shown(pylon::path_text(call.marker_dir), call.out) << '\n';
    return 0;
  }
  for (const gitactivity::Marker& marker : markers) {
    const gitactivity::MarkerOwner owner = owner_of(marker.name);
    const std::string name = pylon::lossy_utf8(marker.name);
    const auto place = place_of(owner);
    const std::string label = place ? pylon::path_text(*place)
                              : owner.state == gitactivity::OwnerState::Gone
                                  ? name + " (repo gone)"
                                  : name + " (unreachable)";
    call.out << list_line(now - marker.epoch, shown(label, call.out));
  }
  return 0;
}

VerbResult path_verb(const GitActivityCall& call) {
  if (call.json) {
    Json result = Json::object();
    result["ok"] = true;
    result["dir"] = pylon::path_text(call.marker_dir);
    emit(call.out, result);
    return 0;
  }
  print_line(call.out, pylon::path_text(call.marker_dir));
  return 0;
}

VerbResult migrate_verb(const GitActivityCall& call) {
  const fs::path legacy = gitactivity::legacy_marker_dir();
  if (gitactivity::same_path(legacy, call.marker_dir)) {
    return Err{HostError::failure("the marker directory already IS the legacy one (" +
                                  pylon::path_text(call.marker_dir) +
                                  ") — there is nothing to migrate; create ~/.pylon (or "
                                  "set $PYLON_HOME) first so the fleet home resolves")};
  }
  const std::vector<gitactivity::MigrationStep> plan = gitactivity::plan_migration(
      gitactivity::read_markers(legacy), gitactivity::read_markers(call.marker_dir));
  const std::size_t found = plan.size();
  const auto would_copy = static_cast<std::size_t>(std::count_if(
      plan.begin(), plan.end(), [](const gitactivity::MigrationStep& s) { return !s.up_to_date; }));
  const bool apply = call.args.has_flag("--apply");
  std::uint64_t copied = 0;
  if (apply) {
    auto applied = gitactivity::apply_migration(plan, call.marker_dir);
    if (!applied) {
      return Err{applied.error()};
    }
    copied = applied.value();
  }

  if (call.json) {
    Json result = Json::object();
    result["ok"] = true;
    result["from"] = pylon::path_text(legacy);
    result["to"] = pylon::path_text(call.marker_dir);
    result["found"] = found;
    result["would_copy"] = would_copy;
    result["copied"] = copied;
    result["applied"] = apply;
    emit(call.out, result);
    return 0;
  }
  if (apply) {
    print_line(call.out, "migrated " + std::to_string(copied) + " marker(s) → " +
                             pylon::path_text(call.marker_dir) + '\n' + pylon::path_text(legacy) +
                             " left untouched — remove it with `trash " + pylon::path_text(legacy) +
                             "` once dashwell reads the new location");
  } else {
    print_line(call.out, "dry run: " + std::to_string(would_copy) + " of " + std::to_string(found) +
                             " marker(s) in " + pylon::path_text(legacy) + " would be copied to " +
                             pylon::path_text(call.marker_dir) +
                             " (mtimes preserved, nothing deleted)\nre-run with --apply to "
                             "perform it");
  }
  return 0;
}

VerbResult record_verb(const GitActivityCall& call) {
  return run_record(call.args);
}

constexpr VerbRow<GitActivityCall> table[] = {
    {{"record", "", "--at --head", "pylon host git-activity record [--at EPOCH]",
      "touch this repo's marker (post-commit hook entry point)",
      "touch this repository's marker (the post-commit hook runs this)", false, SIZE_MAX,
      "pylon host git-activity record --head",
      "move the marker up to HEAD's commit (merges, `git am`)"},
     record_verb},
    {{"enable", "[REPO]", "--dry-run --global --json", "pylon host git-activity enable [REPO]",
      "install the post-commit recorder + backfill the marker",
      "install the post-commit recorder in REPO (default: here) and backfill its marker; "
      "--global: record every repository through git's global configuration (git 2.54+)",
      true, 1, "pylon host git-activity enable --global",
      "record in every repo through git's configuration"},
     enable_verb},
    {{"enable-all", "[DIR ...]", "--dry-run --json --timeout",
      "pylon host git-activity enable-all [DIR ...]",
      "\u2026in every repo under DIR (default ~/work)",
      "enable every repository under DIR (default ~/work)"},
     enable_all_verb},
    {{"disable", "[REPO]", "--dry-run --global --json", "pylon host git-activity disable [REPO]",
      "remove the recorder from REPO's hook",
      "remove the recorder from REPO's hook (default: here) and turn the global hooks off there; "
      "--global: take the global hooks out of git's configuration",
      true, 1, "pylon host git-activity disable --global",
      "take the global recorder out of git's configuration"},
     disable_verb},
    {{"list", "", "--json", "pylon host git-activity list [--json]", "markers, newest first",
      "markers, newest first"},
     list_verb},
    {{"path", "", "--json", "pylon host git-activity path", "print the marker directory",
      "print the marker directory"},
     path_verb},
    {{"migrate", "", "--apply --json", "pylon host git-activity migrate [--apply]",
      "copy legacy ~/.kestrel markers into the fleet home",
      "copy legacy ~/.kestrel markers into the fleet home (a dry run without --apply)"},
     migrate_verb},
    {{"status", "[REPO]", "--all --json --timeout", "pylon host git-activity status [REPO|--all]",
      "whether commits in REPO (or every repo) are recorded",
      "whether commits in REPO (default: here; --all: every repository with a marker) are "
      "recorded, and what to do if not",
      true, 1},
     status_verb},
    {{"disable-all", "[DIR ...]", "--dry-run --json --timeout",
      "pylon host git-activity disable-all [DIR ...]",
      "\u2026remove the recorder in every repo under DIR",
      "remove the recorder from every repository under DIR (default ~/work)"},
     disable_all_verb},
    {{"prune", "[NAME ...]", "--dry-run --json --restore --timeout",
      "pylon host git-activity prune [NAME ...]", "remove the markers of deleted repos",
      "remove the markers whose repositories are certainly gone, or the NAMEd markers whose "
      "repositories are not found; --restore puts back what the last prune removed"},
     prune_verb},
};

}  // namespace

std::string age_text(std::int64_t age) {
  age = std::max<std::int64_t>(age, 0);  // a marker from the future is "0s ago"
  if (age < 90) {
    return std::to_string(age) + "s ago";
  }
  if (age < 5400) {
    return std::to_string(age / 60) + "m ago";
  }
  if (age < 172800) {
    return std::to_string(age / 3600) + "h ago";
  }
  return std::to_string(age / 86400) + "d ago";
}

std::string list_line(std::int64_t age, std::string_view label) {
  const std::string age_field = age_text(age);
  std::string line(age_field.size() < 9 ? 9 - age_field.size() : 0, ' ');
  line += age_field;
  line += "  ";
  line += label;
  line += '\n';
  return line;
}

std::optional<std::int64_t> parse_at(const host::Parsed& args) {
  const std::optional<std::string> at = args.flag_value("--at");
  return at ? pylon::parse_i64(*at) : std::nullopt;
}

std::int32_t run_record(const host::Parsed& args) {
  const std::optional<fs::path> dir = gitactivity::record_dir();
  if (!dir) {
    return 0;
  }
  if (args.has_flag("--head")) {
    record_head(*dir);
    return 0;
  }
  // a plain repository, the usual case, has git's answer without the cost of starting git
  if (const std::optional<fs::path> top = gitactivity::toplevel_here()) {
    (void)gitactivity::write_marker(*dir, pylon::path_text(*top), parse_at(args));
    return 0;
  }
  std::error_code ec;
  fs::path start = fs::current_path(ec);
  if (ec) {
    start = ".";
  }
  record_at(*dir, start, parse_at(args));
  return 0;
}

void record_at(const fs::path& marker_dir, const fs::path& start,
               std::optional<std::int64_t> epoch) {
  const std::optional<fs::path> top = gitactivity::git_toplevel(start);
  if (!top) {
    return;
  }
  // the hook discards our output anyway; a marker that could not be written is simply not there
  (void)gitactivity::write_marker(marker_dir, pylon::path_text(*top), epoch);
}

void record_head(const fs::path& marker_dir) {
  std::optional<fs::path> top = gitactivity::toplevel_here();
  if (!top) {
    std::error_code ec;
    const fs::path start = fs::current_path(ec);
    top = gitactivity::git_toplevel(ec ? fs::path(".") : start);
  }
  // the time enable backfills; nothing when git gives no usable answer
  const std::optional<std::int64_t> epoch =
      top ? gitactivity::latest_commit_time(*top, gitactivity::GitEnv::Inherited) : std::nullopt;
  if (epoch) {
    (void)gitactivity::advance_marker(marker_dir, pylon::path_text(*top), epoch);
  }
}

Result<fs::path, HostError> repo_arg(std::optional<std::string_view> arg) {
  if (arg) {
    return fs::path(*arg);
  }
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  if (ec) {
    return Err{HostError::failure("cannot read the current directory: " + pylon::os_text(ec))};
  }
  return cwd;
}

const Group& git_activity_group() {
  static const Group group = make_group("git-activity", "pylon host git-activity", table);
  return group;
}

VerbResult git_activity(const Args& args, std::ostream& out, std::ostream* terminal) {
  const Dispatch d = dispatch(git_activity_group(), args, out);
  if (d.stop) {
    return *d.stop;
  }
  const auto& row = table[static_cast<std::size_t>(d.verb - git_activity_group().verbs.data())];
  // the hook's entry point runs in every commit: it resolves its own directory, and only where
  // there is a repository
  const fs::path marker_dir = row.info.strict ? gitactivity::marker_dir() : fs::path();
  return row.run({d.args, d.args.operands, d.json, marker_dir, out, terminal});
}

}  // namespace cli
