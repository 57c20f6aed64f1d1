#pragma once

#include "gitactivity/owner.hpp"
#include "result.hpp"
#include "unique_fd.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace gitactivity {

// What lstat said of a marker's name in the marker directory, for the markers called gone.
struct MarkerFile {
  bool plain = false;  // an empty regular file with one link: the only kind prune removes
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t changed_sec = 0;  // status change time: a commit that writes the marker moves it
  std::int64_t changed_nsec = 0;

  bool operator==(const MarkerFile&) const = default;
};

struct PruneEntry {
  MarkerOwner owner;
  std::optional<MarkerFile> file;  // gone markers only; nothing when lstat failed
};

// The marker directory, held open so that every removal is relative to the directory listed.
struct PruneSurvey {
  pylon::UniqueFd dir;
  std::vector<PruneEntry> entries;  // byte order of the names
};

struct PruneStep {
  std::string name;
  MarkerFile file;  // as surveyed: the removal checks the name still holds this very file
};

struct PrunePlan {
  std::vector<PruneStep> remove;         // gone, and a plain marker
  std::vector<std::string> unreachable;  // kept: not known to be gone
  std::vector<std::string> kept;         // gone, but a link, directory, non-empty or linked file
};

struct PruneFailure {
  std::string name;
  std::error_code error;
};

// Names are the files' own bytes; show them with pylon::lossy_utf8.
struct PruneResult {
  std::vector<std::string> removed;  // or, in a dry run, that would be
  std::vector<std::string> unreachable;
  std::vector<std::string> kept;
  std::vector<PruneFailure> failures;
};

// Locate: lists the marker directory and finds each marker's repository (locate_owner). A
// directory that does not exist surveys as empty; any other failure to open it is the error.
Result<PruneSurvey, std::error_code> survey_prune(const std::filesystem::path& marker_dir);
// Plan: removes exactly the gone markers that are plain files.
PrunePlan plan_prune(const std::vector<PruneEntry>& entries);
// Apply: removes each planned name with unlinkat in the surveyed directory, right after checking
// that the name still holds the surveyed file, unchanged; one that changed is kept instead.
PruneResult apply_prune(const PruneSurvey& survey, const PrunePlan& plan);
// The plan as a dry run reports it: nothing removed, nothing failed.
PruneResult preview_prune(const PrunePlan& plan);

}  // namespace gitactivity
