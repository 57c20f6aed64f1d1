#include "cli/git_activity.hpp"

#include "cli/verbs.hpp"
#include "gitactivity/markers.hpp"
#include "gitactivity/migrate.hpp"
#include "gitactivity/repos.hpp"
#include "text.hpp"

#include <algorithm>
#include <ostream>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

namespace cli {
namespace {

namespace fs = std::filesystem;

using Branch = VerbResult (*)(const GitActivityCall&);

VerbResult list_verb(const GitActivityCall& call) {
  const std::vector<gitactivity::Marker> markers = gitactivity::read_markers(call.marker_dir);
  const std::int64_t now = gitactivity::now_epoch();
  gitactivity::DirectoryProbe probe;
  if (call.json) {
    Json items = Json::array();
    for (const gitactivity::Marker& marker : markers) {
      Json item = Json::object();
      item["marker"] = marker.name;
      item["epoch"] = marker.epoch;
      const auto repo = gitactivity::resolve_marker(marker.name, probe);
      item["repo"] = repo ? Json(pylon::path_text(*repo)) : Json(nullptr);
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
    call.out << "no markers in " << pylon::path_text(call.marker_dir) << '\n';
    return 0;
  }
  for (const gitactivity::Marker& marker : markers) {
    const auto repo = gitactivity::resolve_marker(marker.name, probe);
    const std::string label = repo ? pylon::path_text(*repo) : marker.name + " (repo gone)";
    call.out << list_line(now - marker.epoch, label);
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
  call.out << pylon::path_text(call.marker_dir) << '\n';
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
  const bool apply = host::has_flag(call.args, "--apply");
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
    call.out << "migrated " << copied << " marker(s) → " << pylon::path_text(call.marker_dir)
             << '\n'
             << pylon::path_text(legacy) << " left untouched — remove it with `trash "
             << pylon::path_text(legacy) << "` once dashwell reads the new location\n";
  } else {
    call.out << "dry run: " << would_copy << " of " << found << " marker(s) in "
             << pylon::path_text(legacy) << " would be copied to "
             << pylon::path_text(call.marker_dir) << " (mtimes preserved, nothing deleted)\n"
             << "re-run with --apply to perform it\n";
  }
  return 0;
}

// `record` is not in the table: it runs in every commit and resolves its own directory.
constexpr std::pair<std::string_view, Branch> verbs[] = {
    {"enable", enable_verb},
    {"enable-all", enable_all_verb},
    {"disable", disable_verb},
    {"list", list_verb},
    {"path", path_verb},
    {"migrate", migrate_verb},
    {"disable-all", disable_all_verb},
    {"status", status_verb},
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

std::optional<std::int64_t> parse_at(const Args& args) {
  const std::optional<std::string> at = host::flag_value(args, "--at");
  return at ? pylon::parse_i64(*at) : std::nullopt;
}

std::int32_t run_record(const Args& args) {
  const std::optional<fs::path> dir = gitactivity::record_dir();
  if (!dir) {
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

VerbResult git_activity(const Args& args, std::ostream& out) {
  return git_activity(args, out, nullptr);
}

VerbResult git_activity(const Args& args, std::ostream& out, std::ostream* terminal) {
  const bool json = json_mode(args);
  const std::vector<std::string_view> positionals = host::positionals(args, {"--at", "--timeout"});
  const std::string_view verb = positionals.empty() ? std::string_view{} : positionals.front();
  if (verb.empty()) {
    return Err{HostError::usage(
        "usage: pylon host git-activity record|enable|enable-all|disable|list|path|migrate")};
  }
  if (verb == "record") {
    if (auto help = check_verb_args(*find_verb(git_activity_verbs(), verb), args, out)) {
      return *help;
    }
    return run_record(args);
  }
  const auto* const found = std::find_if(std::begin(verbs), std::end(verbs),
                                         [&](const auto& entry) { return entry.first == verb; });
  if (found == std::end(verbs)) {
    return Err{HostError::usage("unknown git-activity verb '" + std::string(verb) +
                                "'. Expected: record | enable | enable-all | disable | list | "
                                "path | migrate")};
  }
  if (auto stop = check_verb_args(*find_verb(git_activity_verbs(), verb), args, out)) {
    return *stop;
  }
  const fs::path marker_dir = gitactivity::marker_dir();
  return found->second({args, positionals, json, marker_dir, out, terminal});
}

}  // namespace cli
