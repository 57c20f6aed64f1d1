#include "gitactivity/migrate.hpp"

#include "gate.hpp"
#include "text.hpp"

#include <algorithm>
#include <unordered_map>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

std::vector<fs::path> meaningful_components(const fs::path& path) {
  std::vector<fs::path> parts;
  for (const fs::path& part : path) {
    if (!part.empty() && part != ".") {  // a trailing separator shows up as an empty part
      parts.push_back(part);
    }
  }
  return parts;
}

}  // namespace

bool same_path(const fs::path& a, const fs::path& b) {
  return meaningful_components(a) == meaningful_components(b);
}

std::vector<MigrationStep> plan_migration(const std::vector<Marker>& legacy,
                                          const std::vector<Marker>& current) {
  std::unordered_map<std::string_view, std::int64_t> current_epochs;
  for (const Marker& marker : current) {
    current_epochs.try_emplace(marker.name, marker.epoch);  // the first of equal names counts
  }
  std::vector<MigrationStep> plan;
  plan.reserve(legacy.size());
  for (const Marker& marker : legacy) {
    const auto have = current_epochs.find(marker.name);
    const bool up_to_date = have != current_epochs.end() && have->second >= marker.epoch;
    plan.push_back({marker.name, marker.epoch, up_to_date});
  }
  std::stable_sort(plan.begin(), plan.end(),
                   [](const MigrationStep& a, const MigrationStep& b) { return a.name < b.name; });
  return plan;
}

Result<std::uint64_t, host::HostError> apply_migration(const std::vector<MigrationStep>& plan,
                                                       const fs::path& dir) {
  pylon::Write make;
  make.action = pylon::WriteAction::MakeDirs;
  make.root = dir;
  if (auto made = pylon::gate(make); !made) {
    return Err{host::HostError::could_not("create", dir, made.error())};
  }
  std::uint64_t copied = 0;
  for (const MigrationStep& step : plan) {
    if (step.up_to_date) {
      continue;
    }
    const fs::path file = dir / step.name;
    auto created = create_empty(dir, step.name);
    if (!created) {
      return Err{host::HostError::could_not("create", file, created.error())};
    }
    if (auto set = set_mtime(created.value().get(), step.epoch); !set) {
      return Err{host::HostError::could_not("set mtime on", file, set.error())};
    }
    ++copied;
  }
  return copied;
}

}  // namespace gitactivity
