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
      return ": looked at again, " + gitactivity::doubt_text(kept.owner);
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
  return name + " is no marker in " + pylon::path_text(marker_dir) +
         " (neither a marker's name nor the path of a repository that has one)";
}

// Neither HOME nor XDG_STATE_HOME is absolute: the journal would land in the current directory.
constexpr const char* no_state_dir =
    "no place for prune's journal: set HOME or XDG_STATE_HOME to an absolute path (nothing was "
    "changed)";

VerbResult restore_verb(const GitActivityCall& call, bool dry_run) {
  const fs::path file = gitactivity::journal_file(gitactivity::state_dir(), call.marker_dir);
  std::vector<gitactivity::JournalLine> lines;
  std::optional<gitactivity::PruneJournal> journal;  // held to the end: one restore or prune
  if (dry_run) {
    auto text = pylon::read_file(file);
    if (!text && text.error() != std::errc::no_such_file_or_directory) {
      return Err{HostError::could_not("read the prune journal", file, text.error())};
    }
    lines = text ? gitactivity::parse_journal(text.value()) : lines;
  } else {
    if (!file.is_absolute()) {
      return Err{HostError::failure(no_state_dir)};
    }
    auto opened = gitactivity::PruneJournal::open(file);
    if (!opened) {
      return Err{HostError::could_not("open the prune journal", file, opened.error())};
    }
    journal.emplace(std::move(opened.value()));
    lines = journal->lines();
  }
  const std::vector<gitactivity::JournalLine> run = gitactivity::last_runs(lines, 1);
  auto restored = gitactivity::restore_markers(call.marker_dir, run, dry_run);
  if (!restored) {
    return Err{HostError::could_not("restore markers in", call.marker_dir, restored.error())};
  }
  const gitactivity::RestoreResult& result = restored.value();
  if (call.json) {
    Json value;
    value["ok"] = true;
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
    emit(call.out, value);
    return 0;
  }
  if (run.empty()) {
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
  return 0;
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
  // the journal's lock is taken first: a second prune surveys what the first one left
  std::optional<gitactivity::PruneJournal> journal;
  const fs::path journal_path =
      gitactivity::journal_file(gitactivity::state_dir(), call.marker_dir);
  if (!dry_run) {
    if (!journal_path.is_absolute()) {
      return Err{HostError::failure(no_state_dir)};
    }
    auto opened = gitactivity::PruneJournal::open(journal_path);
    if (!opened) {
      return Err{HostError::could_not("open the prune journal", journal_path, opened.error())};
    }
    journal.emplace(std::move(opened.value()));
  }
  const gitactivity::Volumes volumes = gitactivity::volumes_live();
  gitactivity::AncestorMemo memo;
  auto survey = gitactivity::survey_prune(
      call.marker_dir, names,
      [&](std::string_view marker) { return gitactivity::locate_owner(marker, volumes, &memo); },
      deadline);
  if (!survey) {
    return Err{HostError::could_not("list", call.marker_dir, survey.error())};
  }
  const gitactivity::PrunePlan plan =
      gitactivity::plan_prune(survey.value().entries, survey.value().no_marker);
  if (!plan.refused.empty()) {
    std::string message;
    for (const gitactivity::Refusal& refusal : plan.refused) {
      message += message.empty() ? "will not prune " : "; will not prune ";
      message += refusal_text(refusal, call.marker_dir);
    }
    return Err{HostError::failure(message + " (nothing was removed)")};
  }
  const gitactivity::PruneResult result =
      dry_run ? gitactivity::preview_prune(plan)
              : gitactivity::apply_prune(
                    survey.value(), plan,
                    // the same rule on fresh facts: a volume may have come back meanwhile
                    [](std::string_view marker) {
                      return gitactivity::locate_owner(marker, gitactivity::volumes_live());
                    },
                    [&](const std::string& name, const gitactivity::MarkerFile& file) {
                      return journal->append(name, file.mtime_sec, file.mtime_nsec);
                    },
                    deadline);
  if (!dry_run) {
    remember_pruned(volumes, survey.value().entries, result.removed);
  }
  std::map<std::string, const gitactivity::MarkerOwner*> owners;
  bool expired = result.unreachable.size() > plan.unreachable.size();
  for (const gitactivity::PruneEntry& entry : survey.value().entries) {
    owners[entry.owner.marker] = &entry.owner;
    expired = expired || entry.owner.doubt == gitactivity::Doubt::OutOfTime;
  }
  std::optional<std::string> trim_failed;
  if (journal) {
    if (auto trimmed = journal->trim(); !trimmed) {
      trim_failed = "could not trim the prune journal " + pylon::path_text(journal_path) + ": " +
                    pylon::os_text(trimmed.error());
    }
  }
  if (call.json) {
    Json value;
    value["ok"] = result.failures.empty() && !expired && !trim_failed;
    value["removed"] =
        names_json(result.removed, [](const gitactivity::Removed& r) { return r.name; });
    Json times = Json::array();
    for (const gitactivity::Removed& removed : result.removed) {
      times.push_back(removed.mtime_sec);
    }
    value["removed_times"] = std::move(times);
    value["unreachable"] = names_json(result.unreachable, [](const std::string& n) { return n; });
    value["deadline_expired"] = expired;
    if (dry_run) {
      value["dry_run"] = true;
    }
    emit(call.out, value);
  } else {
    // the reason a marker was not found comes with it: a volume to plug in, a link to mend
    for (const std::string& name : result.unreachable) {
      const auto owner = owners.find(name);
      const bool looked =
          owner != owners.end() && owner->second->doubt != gitactivity::Doubt::OutOfTime;
      print_line(call.out, "kept (unreachable): " + pylon::lossy_utf8(name) + ": " +
                               gitactivity::doubt_text(looked ? *owner->second
                                                              : gitactivity::out_of_time(name)));
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
    if (expired) {
      line += " — DEADLINE EXPIRED, some markers were not looked at (raise --timeout)";
    }
    call.out << line << '\n';
    if (!result.removed.empty() && !dry_run) {
      call.out << "`pylon host git-activity prune --restore` puts them back\n";
    }
    call.out << std::flush;
  }
  if (!result.failures.empty() || trim_failed) {
    std::string message;
    for (const gitactivity::PruneFailure& failure : result.failures) {
      const std::string marker = pylon::path_text(call.marker_dir / failure.name);
      message += message.empty() ? "" : "; ";
      message += failure.journal
                     ? "could not write the prune journal " + pylon::path_text(journal_path) +
                           ", so " + marker + " was kept"
                     : "could not remove " + marker;
      message += ": " + pylon::os_text(failure.error);
    }
    if (trim_failed) {
      message += (message.empty() ? "" : "; ") + *trim_failed;
    }
    return Err{HostError::failure(message)};
  }
  return expired ? 1 : 0;
}

}  // namespace cli
