#include "gitactivity/prune.hpp"

#include "text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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
    const bool removable =
        state == OwnerState::Gone || (entry.named && entry.owner.doubt != Doubt::OutOfTime);
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

PruneResult apply_prune(const PruneSurvey& survey, const PrunePlan& plan, const OwnerLookup& relook,
                        const BeforeRemoval& before,
                        std::chrono::steady_clock::time_point deadline) {
  PruneResult result{{}, plan.unreachable, plan.kept, {}};
  for (const PruneStep& step : plan.remove) {
    if (std::chrono::steady_clock::now() >= deadline) {
      result.unreachable.push_back(step.name);
      continue;
    }
    // the survey may be minutes old: look for the repository again with fresh facts
    MarkerOwner fresh = relook(step.name);
    if (fresh.state == OwnerState::Found) {
      result.kept.push_back({step.name, KeptWhy::Found, std::move(fresh)});
      continue;
    }
    if (fresh.state != OwnerState::Gone && !step.named) {
      result.kept.push_back({step.name, KeptWhy::Doubted, std::move(fresh)});
      continue;
    }
    if (auto noted = before(step.name, step.file); !noted) {
      result.failures.push_back({step.name, noted.error(), true});
      continue;
    }
    // Names are taken relative to the directory listed, so a directory swapped in at its path is
    // never touched; the file is checked last thing before the unlink. No call unlinks only a
    // given inode, so a swap inside that last gap remains possible.
    const std::optional<MarkerFile> now = marker_file(survey.dir.get(), step.name);
    if (!now) {
      if (errno == ENOENT) {
        result.removed.push_back({step.name, step.file.mtime_sec, step.file.mtime_nsec});
      } else {
        result.failures.push_back({step.name, pylon::last_os_error()});
      }
      continue;
    }
    if (*now != step.file) {
      result.kept.push_back({step.name, KeptWhy::Changed, {}});
      continue;
    }
    if (::unlinkat(survey.dir.get(), step.name.c_str(), 0) != 0 && errno != ENOENT) {
      result.failures.push_back({step.name, pylon::last_os_error()});
      continue;
    }
    result.removed.push_back({step.name, step.file.mtime_sec, step.file.mtime_nsec});
  }
  return result;
}

}  // namespace gitactivity
