#include "gitactivity/prune.hpp"

#include "gate.hpp"
#include "gitactivity/volumes.hpp"
#include "text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

// The marker a typed name stands for: a marker's own name, else the path of its repository.
std::optional<std::string> marker_for(int dir_fd, const std::string& typed) {
  struct stat st {};
  if (dir_fd < 0 || typed.empty()) {
    return std::nullopt;
  }
  if (!typed.starts_with('.') && typed.find('/') == std::string::npos &&
      ::fstatat(dir_fd, typed.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return typed;
  }
  std::error_code ec;
  std::string path = fs::absolute(typed, ec).lexically_normal().native();
  while (path.size() > 1 && path.ends_with('/')) {
    path.pop_back();
  }
  // record names a marker after the lossy text of its repository's path
  const std::string name = encode_marker(pylon::lossy_utf8(path));
  if (ec || ::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return name;
}

PruneEntry surveyed(int dir_fd, const std::string& name, const OwnerLookup& lookup,
                    std::chrono::steady_clock::time_point deadline, bool named) {
  PruneEntry entry{std::chrono::steady_clock::now() < deadline ? lookup(name) : out_of_time(name),
                   std::nullopt, named};
  if (entry.owner.state != OwnerState::Found) {
    entry.file = marker_file(dir_fd, name);
  }
  return entry;
}

// The last check and the removal of one journalled step.
void remove_step(int dir_fd, const PruneStep& step, PruneResult& result) {
  // Names are taken relative to the directory listed, so a directory swapped in at its path is
  // never touched; the file is checked last thing before the unlink. No call unlinks only a
  // given inode, so a swap inside that last gap remains possible.
  const std::optional<MarkerFile> now = marker_file(dir_fd, step.name);
  if (!now && errno != ENOENT) {
    result.failures.push_back({step.name, pylon::last_os_error()});
    return;
  }
  if (now && *now != step.file) {
    result.kept.push_back({step.name, KeptWhy::Changed, {}});
    return;
  }
  if (now) {
    pylon::Write remove;
    remove.action = pylon::WriteAction::Remove;
    remove.root_fd = dir_fd;
    remove.target = step.name;
    if (auto removed = pylon::gate(remove);
        !removed && removed.error().error != std::errc::no_such_file_or_directory) {
      result.failures.push_back({step.name, removed.error().error});
      return;
    }
  }
  result.removed.push_back({step.name, step.file.mtime_sec, step.file.mtime_nsec});
}

}  // namespace

std::optional<MarkerFile> marker_file(int dir_fd, const std::string& name) {
  struct stat st {};
  if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
#ifdef __APPLE__
  const struct timespec changed = st.st_ctimespec;
  const struct timespec modified = st.st_mtimespec;
#else
  const struct timespec changed = st.st_ctim;
  const struct timespec modified = st.st_mtim;
#endif
  return MarkerFile{S_ISREG(st.st_mode) && st.st_size == 0 && st.st_nlink == 1,
                    static_cast<std::uint64_t>(st.st_dev),
                    static_cast<std::uint64_t>(st.st_ino),
                    static_cast<std::int64_t>(changed.tv_sec),
                    static_cast<std::int64_t>(changed.tv_nsec),
                    static_cast<std::int64_t>(modified.tv_sec),
                    static_cast<std::int64_t>(modified.tv_nsec)};
}

Result<PruneSurvey, std::error_code> survey_prune(const fs::path& marker_dir,
                                                  const std::vector<std::string>& names,
                                                  const OwnerLookup& lookup,
                                                  std::chrono::steady_clock::time_point deadline) {
  PruneSurvey survey{
      pylon::UniqueFd(::open(marker_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), {}, {}};
  if (!survey.dir && errno != ENOENT) {
    return Err{pylon::last_os_error()};
  }
  // no marker directory: nothing to prune, and no name is a marker
  const int dir_fd = survey.dir ? survey.dir.get() : -1;
  if (names.empty()) {
    for (const std::string& name : dir_fd < 0 ? std::vector<std::string>() : marker_names(dir_fd)) {
      survey.entries.push_back(surveyed(dir_fd, name, lookup, deadline, false));
    }
    return survey;
  }
  std::vector<std::string> markers;
  for (const std::string& typed : names) {
    if (auto name = marker_for(dir_fd, typed)) {
      markers.push_back(std::move(*name));
    } else {
      survey.no_marker.push_back(typed);
    }
  }
  std::sort(markers.begin(), markers.end());
  markers.erase(std::unique(markers.begin(), markers.end()), markers.end());
  for (const std::string& name : markers) {
    survey.entries.push_back(surveyed(dir_fd, name, lookup, deadline, true));
  }
  return survey;
}

PrunePlan plan_prune(const std::vector<PruneEntry>& entries,
                     const std::vector<std::string>& no_marker) {
  PrunePlan plan;
  for (const std::string& typed : no_marker) {
    plan.refused.push_back({typed, std::nullopt});
  }
  for (const PruneEntry& entry : entries) {
    const std::string& name = entry.owner.marker;
    const OwnerState state = entry.owner.state;
    if (state == OwnerState::Found) {
      if (entry.named) {
        plan.refused.push_back({name, entry.owner.root});
      }
      continue;
    }
    // a named marker goes when not found, because the user says so; never one not looked at
    const bool removable = state == OwnerState::Gone || (entry.named && !entry.owner.out_of_time);
    if (!removable) {
      plan.unreachable.push_back(name);
    } else if (entry.file && entry.file->plain) {
      plan.remove.push_back({name, *entry.file, entry.named});
    } else {
      plan.kept.push_back({name, KeptWhy::NotPlain, entry.owner});
    }
  }
  if (!plan.refused.empty()) {
    plan.remove.clear();
  }
  return plan;
}

PruneResult preview_prune(const PrunePlan& plan) {
  PruneResult result{{}, plan.unreachable, plan.kept, {}};
  for (const PruneStep& step : plan.remove) {
    result.removed.push_back({step.name, step.file.mtime_sec, step.file.mtime_nsec});
  }
  return result;
}

PruneResult apply_prune(const PruneSurvey& survey, const PrunePlan& plan, const FreshLookup& relook,
                        const RecordBatch& record, std::chrono::steady_clock::time_point deadline,
                        std::size_t batch) {
  PruneResult result{{}, plan.unreachable, plan.kept, {}};
  for (std::size_t next = 0; next < plan.remove.size();) {
    // the survey may be minutes old: look for the repositories again with fresh facts
    const OwnerLookup lookup = relook();
    std::vector<const PruneStep*> steps;
    std::vector<Removed> lines;
    for (; next < plan.remove.size() && steps.size() < batch; ++next) {
      const PruneStep& step = plan.remove[next];
      if (std::chrono::steady_clock::now() >= deadline) {
        result.unreachable.push_back(step.name);
        continue;
      }
      MarkerOwner fresh = lookup(step.name);
      if (fresh.state == OwnerState::Found) {
        result.kept.push_back({step.name, KeptWhy::Found, std::move(fresh)});
        continue;
      }
      if (fresh.state != OwnerState::Gone && !step.named) {
        result.kept.push_back({step.name, KeptWhy::Doubted, std::move(fresh)});
        continue;
      }
      Removed line{step.name, step.file.mtime_sec, step.file.mtime_nsec};
      if (!journal_holds(line)) {
        result.failures.push_back(
            {step.name, std::make_error_code(std::errc::result_out_of_range), true});
        continue;
      }
      steps.push_back(&step);
      lines.push_back(std::move(line));
    }
    if (steps.empty()) {
      continue;
    }
    // no line, no removal: the whole batch is journalled and synced before the first unlink
    if (auto noted = record(lines); !noted) {
      for (const PruneStep* step : steps) {
        result.failures.push_back({step->name, noted.error(), true});
      }
      continue;
    }
    for (const PruneStep* step : steps) {
      remove_step(survey.dir.get(), *step, result);
    }
  }
  return result;
}

namespace {

Result<std::filesystem::path, PruneStop> journal_path(const fs::path& marker_dir) {
  const fs::path file = journal_file(state_dir(), marker_dir);
  if (!file.is_absolute()) {
    return Err{PruneStop{}};
  }
  return file;
}

PruneStop journal_stop(JournalError error) {
  return {PruneStopWhy::Journal, std::move(error), {}, {}};
}

}  // namespace

Result<PruneReport, PruneStop> prune(const fs::path& marker_dir,
                                     const std::vector<std::string>& names, bool dry_run,
                                     std::chrono::steady_clock::time_point deadline) {
  PruneReport report;
  std::optional<PruneJournal> journal;
  // the journal's lock is taken first: a second prune surveys what the first one left
  if (!dry_run) {
    auto file = journal_path(marker_dir);
    if (!file) {
      return Err{file.error()};
    }
    auto opened =
        PruneJournal::open(file.value(), legacy_journal_files(state_dir(), marker_dir), deadline);
    if (!opened) {
      return Err{journal_stop(opened.error())};
    }
    journal.emplace(std::move(opened.value()));
    report.journal = journal->path();
    report.passed_over = journal->passed_over();
    report.passed_over_count = journal->passed_over_count();
  }
  const Volumes volumes = volumes_live();
  AncestorMemo memo;
  auto survey = survey_prune(
      marker_dir, names,
      [&](std::string_view marker) { return locate_owner(marker, volumes, &memo); }, deadline);
  if (!survey) {
    return Err{PruneStop{PruneStopWhy::List, {}, survey.error(), {}}};
  }
  const PrunePlan plan = plan_prune(survey.value().entries, survey.value().no_marker);
  if (!plan.refused.empty()) {
    return Err{PruneStop{PruneStopWhy::Refused, {}, {}, plan.refused}};
  }
  report.result =
      dry_run
          ? preview_prune(plan)
          : apply_prune(
                survey.value(), plan,
                // the same rule on fresh facts: a volume may have come back meanwhile
                [] {
                  return [fresh = volumes_live(),
                          memo = std::make_shared<AncestorMemo>()](std::string_view marker) {
                    return locate_owner(marker, fresh, memo.get());
                  };
                },
                [&](std::span<const Removed> batch) { return journal->append(batch); }, deadline);
  report.expired = report.result.unreachable.size() > plan.unreachable.size();
  std::vector<std::string> tops;
  for (const PruneEntry& entry : survey.value().entries) {
    report.owners[entry.owner.marker] = entry.owner;
    report.expired = report.expired || entry.owner.out_of_time;
    if (entry.owner.root) {
      tops.push_back(entry.owner.root->native());
    }
  }
  if (!dry_run) {
    // the mounts of what was found, and what was removed forgotten
    std::vector<std::string> removed;
    removed.reserve(report.result.removed.size());
    for (const Removed& one : report.result.removed) {
      removed.push_back(one.name);
    }
    remember_mounts(volumes, tops, removed);
  }
  if (journal) {
    if (auto trimmed = journal->trim(); !trimmed) {
      report.trim_failed = trimmed.error();
    }
  }
  return report;
}

Result<RestoreReport, PruneStop> restore(const fs::path& marker_dir, bool dry_run,
                                         std::chrono::steady_clock::time_point deadline) {
  RestoreReport report;
  std::vector<JournalLine> lines;
  std::optional<PruneJournal> journal;  // held to the end: one restore or prune at a time
  const fs::path file = journal_file(state_dir(), marker_dir);
  report.journal = file;
  if (dry_run) {
    auto read = peek_journal(file, legacy_journal_files(state_dir(), marker_dir));
    if (!read) {
      return Err{journal_stop(read.error())};
    }
    lines = std::move(read.value().lines);
    report.passed_over = std::move(read.value().passed_over);
    report.passed_over_count = read.value().passed_over_count;
  } else {
    if (!file.is_absolute()) {
      return Err{PruneStop{}};
    }
    auto opened = PruneJournal::open(file, legacy_journal_files(state_dir(), marker_dir), deadline);
    if (!opened) {
      return Err{journal_stop(opened.error())};
    }
    journal.emplace(std::move(opened.value()));
    lines = journal->lines();
    report.passed_over = journal->passed_over();
    report.passed_over_count = journal->passed_over_count();
  }
  const std::vector<JournalLine> run = last_runs(lines, 1);
  report.nothing = run.empty();
  auto restored = restore_markers(marker_dir, run, dry_run);
  if (!restored) {
    return Err{PruneStop{PruneStopWhy::Restore, {}, restored.error(), {}}};
  }
  report.result = std::move(restored.value());
  return report;
}

}  // namespace gitactivity
