#include "gitactivity/prune.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

// The name's own file, not what a link at it points to; nothing when lstat fails.
std::optional<MarkerFile> marker_file(int dir_fd, const std::string& name) {
  struct stat st {};
  if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
#ifdef __APPLE__
  const struct timespec changed = st.st_ctimespec;
#else
  const struct timespec changed = st.st_ctim;
#endif
  return MarkerFile{S_ISREG(st.st_mode) && st.st_size == 0 && st.st_nlink == 1,
                    static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                    static_cast<std::int64_t>(changed.tv_sec),
                    static_cast<std::int64_t>(changed.tv_nsec)};
}

}  // namespace

Result<PruneSurvey, std::error_code> survey_prune(const fs::path& marker_dir) {
  PruneSurvey survey{
      pylon::UniqueFd(::open(marker_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), {}};
  if (!survey.dir) {
    if (errno == ENOENT) {
      return survey;  // no marker directory: nothing to prune
    }
    return Err{pylon::last_os_error()};
  }
  for (const std::string& name : marker_names(survey.dir.get())) {
    PruneEntry entry{locate_owner(name), std::nullopt};
    if (entry.owner.state == OwnerState::Gone) {
      entry.file = marker_file(survey.dir.get(), name);
    }
    survey.entries.push_back(std::move(entry));
  }
  return survey;
}

PrunePlan plan_prune(const std::vector<PruneEntry>& entries) {
  PrunePlan plan;
  for (const PruneEntry& entry : entries) {
    const std::string& name = entry.owner.marker;
    if (entry.owner.state == OwnerState::Unreachable) {
      plan.unreachable.push_back(name);
    } else if (entry.owner.state == OwnerState::Gone) {
      if (entry.file && entry.file->plain) {
        plan.remove.push_back({name, *entry.file});
      } else {
        plan.kept.push_back(name);
      }
    }
  }
  return plan;
}

PruneResult preview_prune(const PrunePlan& plan) {
  PruneResult result{{}, plan.unreachable, plan.kept, {}};
  for (const PruneStep& step : plan.remove) {
    result.removed.push_back(step.name);
  }
  return result;
}

PruneResult apply_prune(const PruneSurvey& survey, const PrunePlan& plan) {
  PruneResult result{{}, plan.unreachable, plan.kept, {}};
  for (const PruneStep& step : plan.remove) {
    // Names are taken relative to the directory listed, so a directory swapped in at its path is
    // never touched; the file is checked last thing before the unlink. No call unlinks only a
    // given inode, so a swap inside that last gap remains possible.
    const std::optional<MarkerFile> now = marker_file(survey.dir.get(), step.name);
    if (!now) {
      if (errno == ENOENT) {
        result.removed.push_back(step.name);  // already gone: what was asked for holds
      } else {
        result.failures.push_back({step.name, pylon::last_os_error()});
      }
      continue;
    }
    if (*now != step.file) {
      result.kept.push_back(step.name);  // written, replaced or linked since the survey
      continue;
    }
    if (::unlinkat(survey.dir.get(), step.name.c_str(), 0) != 0 && errno != ENOENT) {
      result.failures.push_back({step.name, pylon::last_os_error()});
      continue;
    }
    result.removed.push_back(step.name);
  }
  return result;
}

}  // namespace gitactivity
