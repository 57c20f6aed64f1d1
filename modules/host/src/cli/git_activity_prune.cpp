#include "cli/git_activity.hpp"
#include "clock.hpp"
#include "files.hpp"
#include "gitactivity/journal.hpp"
#include "gitactivity/prune.hpp"
#include "gitactivity/repos.hpp"
#include "text.hpp"

#include <algorithm>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace cli {
namespace {

namespace fs = std::filesystem;

template <class T, class Name>
Json names_json(const std::vector<T>& items, Name name) {
  Json list = Json::array();
  for (const T& item : items) {
    list.push_back(pylon::lossy_utf8(name(item)));
  }
  return list;
}

std::string kept_text(const gitactivity::Kept& kept) {
  switch (kept.why) {
    case gitactivity::KeptWhy::NotPlain:
      return ": its repository is gone, but it is not an empty file with one name (another hard "
             "link, a symbolic link, a directory or a file with content), so prune leaves it";
    case gitactivity::KeptWhy::Changed:
      return ": it changed since prune looked at it, so prune leaves it";
    case gitactivity::KeptWhy::Found:
      return ": its repository is there again (" + pylon::path_text(*kept.owner.root) + ")";
    case gitactivity::KeptWhy::Doubted:
      return ": looked at again, " + kept.owner.reason;
  }
  return {};
}

std::string refusal_text(const gitactivity::Refusal& refusal, const fs::path& marker_dir) {
  std::string name = "'";  // appended, not "'" + string: GCC 12 warns -Wrestrict at -O3
  name += pylon::lossy_utf8(refusal.name);
  name += "'";
  if (refusal.root) {
    return name + ": its repository is there (" + pylon::path_text(*refusal.root) + ")";
  }
  return name + ": no marker in " + pylon::path_text(marker_dir) +
         " (neither a marker's name nor the path of a repository that has one)";
}

// Neither HOME nor XDG_STATE_HOME is absolute: the journal would land in the current directory.
constexpr const char* no_state_dir =
    "no place for prune's journal: set HOME or XDG_STATE_HOME to an absolute path (nothing was "
    "changed)";

HostError stop_error(const gitactivity::PruneStop& stop, const fs::path& marker_dir) {
  const gitactivity::JournalError& journal = stop.journal;
  switch (stop.why) {
    case gitactivity::PruneStopWhy::NoStateDir:
      return HostError::failure(no_state_dir);
    case gitactivity::PruneStopWhy::List:
      return HostError::could_not("list", marker_dir, stop.error);
    case gitactivity::PruneStopWhy::Restore:
      return HostError::could_not("restore markers in", marker_dir, stop.error);
    case gitactivity::PruneStopWhy::Refused: {
      std::string message;
      for (const gitactivity::Refusal& refusal : stop.refused) {
        message += message.empty() ? "will not prune " : "; will not prune ";
        message += refusal_text(refusal, marker_dir);
      }
      return HostError::failure(message + " (nothing was removed)");
    }
    case gitactivity::PruneStopWhy::Journal:
      break;
  }
  if (journal.problem == gitactivity::JournalProblem::Locked) {
    return HostError::failure(
        "another prune or restore of " + pylon::path_text(marker_dir) + " still held " +
        pylon::path_text(journal.where) +
        " when the deadline passed (is one suspended? `fuser` names its process; raise --timeout "
        "to wait longer) (nothing was changed)");
  }
  if (journal.problem == gitactivity::JournalProblem::OtherUser) {
    return HostError::failure(
        "will not use the prune journal: " + pylon::path_text(journal.where) +
        " may be changed by another user than the running one (set XDG_STATE_HOME to a directory "
        "of your own) (nothing was changed)");
  }
  return HostError::could_not("open the prune journal", journal.where, journal.error);
}

// The journal's lines that did not read, named: the first few in text, all kept ones in JSON.
void print_passed_over(const std::vector<gitactivity::PassedOver>& lines, std::uint64_t count,
                       const fs::path& journal, std::ostream& out) {
  constexpr std::size_t shown_lines = 10;
  for (std::size_t i = 0; i < lines.size() && i < shown_lines; ++i) {
    print_line(out, "passed over: " + pylon::path_text(journal) + " line " +
                        std::to_string(lines[i].line) + ": " + lines[i].why);
  }
  if (count > shown_lines) {
    print_line(out, "passed over: " + std::to_string(count - shown_lines) + " more line(s) of " +
                        pylon::path_text(journal));
  }
}

// Present only when some line was passed over, as "dry_run" only in a dry run.
void add_passed_over(Json& value, const std::vector<gitactivity::PassedOver>& lines,
                     std::uint64_t count) {
  if (count == 0) {
    return;
  }
  Json list = Json::array();
  for (const gitactivity::PassedOver& line : lines) {
    Json item;
    item["line"] = line.line;
    item["why"] = pylon::lossy_utf8(line.why);
    list.push_back(std::move(item));
  }
  value["passed_over"] = std::move(list);
  value["passed_over_lines"] = count;
}

VerbResult restore_verb(const GitActivityCall& call, bool dry_run) {
  const auto deadline =
      pylon::deadline_after(host::timeout_seconds(call.args, gitactivity::walk_seconds));
  auto restored = gitactivity::restore(call.marker_dir, dry_run, deadline);
  if (!restored) {
    return Err{stop_error(restored.error(), call.marker_dir)};
  }
  const gitactivity::RestoreReport& report = restored.value();
  const gitactivity::RestoreResult& result = report.result;
  if (call.json) {
    Json value;
    value["ok"] = result.refused.empty();
    value["restored"] =
        names_json(result.restored, [](const gitactivity::JournalLine& l) { return l.name; });
    Json times = Json::array();
    for (const gitactivity::JournalLine& line : result.restored) {
      times.push_back(line.mtime_sec);
    }
    value["restored_times"] = std::move(times);
    value["skipped"] = names_json(result.skipped, [](const std::string& n) { return n; });
    if (dry_run) {
      value["dry_run"] = true;
    }
    if (!result.refused.empty()) {
      value["refused"] = names_json(result.refused, [](const std::string& n) { return n; });
    }
    add_passed_over(value, report.passed_over, report.passed_over_count);
    emit(call.out, value);
  } else {
    print_passed_over(report.passed_over, report.passed_over_count, report.journal, call.out);
    if (report.nothing) {
      call.out << "nothing to restore: no prune has removed a marker from "
               << shown(pylon::path_text(call.marker_dir), call.out) << '\n'
               << std::flush;
      return 0;
    }
    for (const gitactivity::JournalLine& line : result.restored) {
      print_line(call.out,
                 (dry_run ? "would restore: " : "restored: ") + pylon::lossy_utf8(line.name));
    }
    for (const std::string& name : result.skipped) {
      print_line(call.out,
                 "skipped: " + pylon::lossy_utf8(name) + ": a file of that name exists again");
    }
    call.out << (dry_run ? "dry run: " : "") << result.restored.size()
             << (dry_run ? " marker(s) would be restored, " : " marker(s) restored, ")
             << result.skipped.size() << " skipped\n"
             << std::flush;
  }
  if (!result.refused.empty()) {
    std::string message;
    for (const std::string& name : result.refused) {
      message += (message.empty() ? "will not restore '" : "; will not restore '") +
                 pylon::lossy_utf8(name) + "': not a single file name in " +
                 pylon::path_text(call.marker_dir);
    }
    return Err{HostError::failure(message)};
  }
  return 0;
}

// The markers a failed journal write kept, grouped by the reason.
std::string journal_failures(const std::vector<gitactivity::PruneFailure>& failures,
                             const fs::path& marker_dir, const fs::path& journal) {
  std::map<std::error_code, std::vector<std::string>> kept;
  for (const gitactivity::PruneFailure& failure : failures) {
    if (failure.journal) {
      kept[failure.error].push_back(pylon::path_text(marker_dir / failure.name));
    }
  }
  std::string message;
  for (const auto& [error, markers] : kept) {
    std::string names = markers[0];
    for (std::size_t i = 1; i < markers.size() && i < 3; ++i) {
      names += ", " + markers[i];
    }
    if (markers.size() > 3) {
      names += " and " + std::to_string(markers.size() - 3) + " more";
    }
    const std::string so = markers.size() == 1 ? ", so " + names + " was kept"
                                               : ", so " + std::to_string(markers.size()) +
                                                     " markers were kept (" + names + ")";
    message += message.empty() ? "" : "; ";
    message += error == std::errc::result_out_of_range
                   ? "no line of the prune journal can hold a time before 1970 or after 9999" + so
                   : "could not write the prune journal " + pylon::path_text(journal) + so + ": " +
                         pylon::os_text(error);
  }
  return message;
}

}  // namespace

VerbResult prune_verb(const GitActivityCall& call) {
  const bool dry_run = call.args.has_flag("--dry-run");
  const std::vector<std::string> names(call.positionals.begin() + 1, call.positionals.end());
  if (call.args.has_flag("--restore")) {
    if (!names.empty()) {
      return Err{HostError::usage(
          "prune --restore takes no NAME: it restores every marker the last prune removed")};
    }
    return restore_verb(call, dry_run);
  }
  const auto deadline =
      pylon::deadline_after(host::timeout_seconds(call.args, gitactivity::walk_seconds));
  auto pruned = gitactivity::prune(call.marker_dir, names, dry_run, deadline);
  if (!pruned) {
    return Err{stop_error(pruned.error(), call.marker_dir)};
  }
  const gitactivity::PruneReport& report = pruned.value();
  const gitactivity::PruneResult& result = report.result;
  if (call.json) {
    Json value;
    value["ok"] = result.failures.empty() && !report.expired && !report.trim_failed;
    value["removed"] =
        names_json(result.removed, [](const gitactivity::Removed& r) { return r.name; });
    Json times = Json::array();
    for (const gitactivity::Removed& removed : result.removed) {
      times.push_back(removed.mtime_sec);
    }
    value["removed_times"] = std::move(times);
    value["unreachable"] = names_json(result.unreachable, [](const std::string& n) { return n; });
    value["deadline_expired"] = report.expired;
    if (dry_run) {
      value["dry_run"] = true;
    }
    add_passed_over(value, report.passed_over, report.passed_over_count);
    emit(call.out, value);
  } else {
    print_passed_over(report.passed_over, report.passed_over_count, report.journal, call.out);
    // the reason a marker was not found comes with it: a volume to plug in, a link to mend
    for (const std::string& name : result.unreachable) {
      const auto owner = report.owners.find(name);
      const bool looked = owner != report.owners.end() && !owner->second.out_of_time;
      print_line(call.out, "kept (unreachable): " + pylon::lossy_utf8(name) + ": " +
                               (looked ? owner->second : gitactivity::out_of_time(name)).reason);
    }
    for (const gitactivity::Removed& removed : result.removed) {
      print_line(call.out,
                 (dry_run ? "would remove: " : "removed: ") + pylon::lossy_utf8(removed.name));
    }
    for (const gitactivity::Kept& kept : result.kept) {
      print_line(call.out, "kept: " + pylon::lossy_utf8(kept.name) + kept_text(kept));
    }
    std::string line = (dry_run ? "dry run: " : "") + std::to_string(result.removed.size()) +
                       (dry_run ? " marker(s) would be removed, " : " marker(s) removed, ") +
                       std::to_string(result.unreachable.size()) + " kept as unreachable";
    if (!result.kept.empty()) {
      line += ", " + std::to_string(result.kept.size()) + " kept otherwise";
    }
    if (report.expired) {
      line += " — DEADLINE EXPIRED, some markers were not looked at (raise --timeout)";
    }
    call.out << line << '\n';
    if (!result.removed.empty() && !dry_run) {
      call.out << "`pylon host git-activity prune --restore` puts them back\n";
    }
    call.out << std::flush;
  }
  std::string message = journal_failures(result.failures, call.marker_dir, report.journal);
  for (const gitactivity::PruneFailure& failure : result.failures) {
    if (!failure.journal) {
      message += (message.empty() ? "could not remove " : "; could not remove ") +
                 pylon::path_text(call.marker_dir / failure.name) + ": " +
                 pylon::os_text(failure.error);
    }
  }
  if (report.trim_failed) {
    message += (message.empty() ? "" : "; ") + std::string("could not trim the prune journal ") +
               pylon::path_text(report.journal) + ": " + pylon::os_text(*report.trim_failed);
  }
  if (!message.empty()) {
    return Err{HostError::failure(message)};
  }
  return report.expired ? 1 : 0;
}

}  // namespace cli
