#pragma once

#include "gitactivity/journal.hpp"
#include "gitactivity/owner.hpp"
#include "result.hpp"
#include "unique_fd.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace gitactivity {

// What lstat said of a marker's name in the marker directory.
struct MarkerFile {
  bool plain = false;  // an empty regular file with one link: the only kind prune removes
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t changed_sec = 0;  // status change time: a commit that writes the marker moves it
  std::int64_t changed_nsec = 0;
  std::int64_t mtime_sec = 0;  // the time the marker shows, kept in the journal for --restore
  std::int64_t mtime_nsec = 0;

  bool operator==(const MarkerFile&) const = default;
};

struct PruneEntry {
  MarkerOwner owner;
  std::optional<MarkerFile> file;  // nothing when lstat failed or the owner was found
  bool named = false;              // the user named it: removed when not found, not only gone
};

// The marker directory, held open so that every removal is relative to the directory listed.
struct PruneSurvey {
  pylon::UniqueFd dir;
  std::vector<PruneEntry> entries;     // byte order of the names; the named ones only, if any
  std::vector<std::string> no_marker;  // names typed that are no marker, as typed
};

struct PruneStep {
  std::string name;
  MarkerFile file;  // as surveyed: the removal checks the name still holds this very file
  bool named = false;
};

enum class KeptWhy {
  NotPlain,  // a link, directory, non-empty or linked file
  Changed,   // written, replaced or linked since the survey
  Found,     // its repository was found when looked for again just before the removal
  Doubted,   // looked for again, it is no longer certainly gone (the owner says why)
};
struct Kept {
  std::string name;
  KeptWhy why = KeptWhy::NotPlain;
  MarkerOwner owner;  // Found and Doubted: what the second look found
};

// A name the user gave that prune will not act on: its repository is there (root), or it is no
// marker (no root).
struct Refusal {
  std::string name;
  std::optional<std::filesystem::path> root;
};

struct PrunePlan {
  std::vector<PruneStep> remove;         // gone (or named and not found), and a plain marker
  std::vector<std::string> unreachable;  // kept: not known to be gone
  std::vector<Kept> kept;
  std::vector<Refusal> refused;  // when any, nothing may be removed
};

struct PruneFailure {
  std::string name;
  std::error_code error;
  bool journal = false;  // its journal line could not be written, so the marker stays
};

// Names are the files' own bytes; show them with pylon::lossy_utf8.
struct PruneResult {
  std::vector<Removed> removed;  // or, in a dry run, that would be
  std::vector<std::string> unreachable;
  std::vector<Kept> kept;
  std::vector<PruneFailure> failures;
};

// How a marker's owner is found: locate_owner in a run, a table in tests.
using OwnerLookup = std::function<MarkerOwner(std::string_view marker)>;
// A lookup on fresh facts (a mount table read again), asked for at the start of each batch.
using FreshLookup = std::function<OwnerLookup()>;
// Called with a batch of markers before any of them is removed (the journal's append, one write
// and one sync); an error keeps all of them.
using RecordBatch = std::function<Result<Unit, std::error_code>(std::span<const Removed> batch)>;
// Markers journalled together: one fsync per batch, not one per marker.
inline constexpr std::size_t prune_batch = 1024;

// Locate: lists the marker directory (or takes the names given: a marker's name, or the path of
// the repository it names) and finds each marker's repository, while the deadline lasts. A
// directory that does not exist surveys as empty; any other failure to open it is the error.
Result<PruneSurvey, std::error_code> survey_prune(const std::filesystem::path& marker_dir,
                                                  const std::vector<std::string>& names,
                                                  const OwnerLookup& lookup,
                                                  std::chrono::steady_clock::time_point deadline);
// Plan: without names, exactly the gone markers that are plain files; with names, each named
// marker that is not found, unless some name is refused.
PrunePlan plan_prune(const std::vector<PruneEntry>& entries,
                     const std::vector<std::string>& no_marker = {});
// Apply, a batch of planned names at a time: looks for each one's repository again (keeping the
// marker if it is now found, or no longer certainly gone when unnamed, and one whose time no
// journal line can hold), records the batch (no removal on its error), then for each checks that
// the name still holds the surveyed file, unchanged, and removes it with unlinkat in the surveyed
// directory. Steps not begun by the deadline are reported unreachable.
PruneResult apply_prune(const PruneSurvey& survey, const PrunePlan& plan, const FreshLookup& relook,
                        const RecordBatch& record, std::chrono::steady_clock::time_point deadline,
                        std::size_t batch = prune_batch);
// The plan as a dry run reports it: nothing removed, nothing failed.
PruneResult preview_prune(const PrunePlan& plan);
// The marker's own file at `name` in the directory, not what a link there points to; nothing when
// lstat fails (errno says why).
std::optional<MarkerFile> marker_file(int dir_fd, const std::string& name);

// Why prune or restore did nothing.
enum class PruneStopWhy {
  NoStateDir,  // neither HOME nor XDG_STATE_HOME is absolute: no place for the journal
  Journal,     // the journal could not be opened or read (`journal` says why)
  List,        // the marker directory could not be opened (`error`)
  Refused,     // names the user gave that prune will not act on (`refused`)
  Restore,     // a marker could not be made again (`error`)
};
struct PruneStop {
  PruneStopWhy why = PruneStopWhy::NoStateDir;
  JournalError journal;
  std::error_code error;
  std::vector<Refusal> refused;
};

// What a prune did, for the cli to print.
struct PruneReport {
  PruneResult result;
  std::map<std::string, MarkerOwner> owners;  // the survey's answer for each marker looked at
  bool expired = false;                       // some marker was not looked at, or not begun
  std::filesystem::path journal;
  std::vector<PassedOver> passed_over;  // lines of the journal that did not read
  std::uint64_t passed_over_count = 0;
  std::optional<std::error_code> trim_failed;
};
// The whole use case: the journal's lock (within the deadline) before the survey, the survey, the
// plan, and in a real run the removals, each batch journalled first, and the trim.
Result<PruneReport, PruneStop> prune(const std::filesystem::path& marker_dir,
                                     const std::vector<std::string>& names, bool dry_run,
                                     std::chrono::steady_clock::time_point deadline);

struct RestoreReport {
  RestoreResult result;
  bool nothing = false;  // no run in the journal
  std::filesystem::path journal;
  std::vector<PassedOver> passed_over;
  std::uint64_t passed_over_count = 0;
};
// Puts back the markers of the journal's last run, under its lock; a dry run reads the journal
// without the lock and writes nothing.
Result<RestoreReport, PruneStop> restore(const std::filesystem::path& marker_dir, bool dry_run,
                                         std::chrono::steady_clock::time_point deadline);

}  // namespace gitactivity
