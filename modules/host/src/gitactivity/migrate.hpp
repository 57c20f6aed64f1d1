#pragma once

#include "gitactivity/markers.hpp"
#include "host_error.hpp"
#include "result.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace gitactivity {

struct MigrationStep {
  std::string name;
  std::int64_t epoch = 0;
  bool up_to_date = false;  // the current marker is already at least as new: nothing to copy

  bool operator==(const MigrationStep&) const = default;
};

// One step per legacy marker, sorted by name: its time, and whether the current marker of that
// name is already at least as new.
std::vector<MigrationStep> plan_migration(const std::vector<Marker>& legacy,
                                          const std::vector<Marker>& current);
// True when both name the same path lexically: repeated or trailing separators and "." components
// make no difference; ".." and symbolic links are not resolved, and the disk is not consulted.
bool same_path(const std::filesystem::path& a, const std::filesystem::path& b);
// Writes the steps that are not up to date into `dir`: the number of markers written; the first
// failure stops the copy.
Result<std::uint64_t, host::HostError> apply_migration(const std::vector<MigrationStep>& plan,
                                                       const std::filesystem::path& dir);

}  // namespace gitactivity
