#include "gitactivity/owner.hpp"

#include "gitactivity/repos.hpp"
#include "text.hpp"
#include "unique_fd.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <span>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

std::vector<std::string_view> split(std::string_view text, char separator, bool keep_empty) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    const std::string_view part = text.substr(0, at);
    if (keep_empty || !part.empty()) {
      parts.push_back(part);
    }
    if (at == std::string_view::npos) {
      return parts;
    }
    text.remove_prefix(at + 1);
  }
}

std::string joined_path(std::span<const std::string_view> components) {
  std::string path;
  for (const std::string_view c : components) {
    path += '/';
    path += c;
  }
  return path.empty() ? "/" : path;
}

// How many leading components name the volume of a path below a mount root: /Volumes/NAME and
// /mnt/NAME 2, /media/USER/NAME 3, /run/media/USER/NAME 4; 0 for any other path.
std::size_t volume_depth(std::span<const std::string_view> components) {
  if (components.empty()) {
    return 0;
  }
  if (components[0] == "Volumes" || components[0] == "mnt") {
    return 2;
  }
  if (components[0] == "media") {
    return 3;
  }
  if (components[0] == "run" && components.size() > 1 && components[1] == "media") {
    return 4;
  }
  return 0;
}

// The doubt about the volumes the search went through; nothing when they are all there. The first
// directory must exist under some spelling (a repository at /x itself is never gone: /x missing
// looks like a volume away). Below a mount root, a volume directory on the device of its parent is
// an empty mount point, and a name that goes through a mount root needs a mounted volume there.
// A spelling of the volume name that is merely absent does not count: every hyphen after it makes
// one ("/Volumes/Disk-work" for /Volumes/Disk/work), so a disk that is away while another whose
// name is a hyphen-prefix of its own is mounted ("Backup" and "Backup-2") is not told apart.
std::optional<std::string> volume_doubt(std::string_view marker,
                                        const std::vector<ProbeResult>& probes) {
  std::map<std::string, const ProbeResult*> dirs;
  for (const ProbeResult& p : probes) {
    if (p.kind == ProbeKind::Directory) {
      dirs.try_emplace(joined_path(split(p.path, '/', false)), &p);
    }
  }
  const std::vector<std::string_view> segments = split(marker.substr(1), '-', true);
  const bool first_there = std::any_of(dirs.begin(), dirs.end(), [](const auto& dir) {
    return split(dir.first, '/', false).size() == 1;
  });
  if (!first_there) {
    return "/" + std::string(segments.front());
  }
  bool volume_there = false;
  const std::size_t wanted = volume_depth(segments);
  for (const auto& [path, probe] : dirs) {
    const std::vector<std::string_view> components = split(path, '/', false);
    const std::size_t depth = volume_depth(components);
    if (depth == 0 || components.size() != depth) {
      continue;
    }
    const auto parent = dirs.find(joined_path(std::span(components).first(depth - 1)));
    if (parent == dirs.end() || parent->second->device == probe->device) {
      return probe->path;
    }
    volume_there = volume_there || (depth == wanted && components[0] == segments[0]);
  }
  if (wanted != 0 && segments.size() >= wanted && !volume_there) {
    return joined_path(std::span(segments).first(wanted == 4 ? 2 : 1));
  }
  return std::nullopt;
}

ProbeResult probe_result(const std::string& path, const DirectoryProbe::Looked& looked) {
  if (looked.id) {
    return {path, ProbeKind::Directory, looked.id->first, {}};
  }
  int error = looked.error;
  if (error == ENOENT) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
      return {path, ProbeKind::Dangling, 0, {}};
    }
    error = errno;
  }
  if (error == 0 || error == ENOENT || error == ENOTDIR) {
    return {path, ProbeKind::Absent, 0, {}};
  }
  return {path, ProbeKind::Failed, 0, {error, std::system_category()}};
}

CandidateResult check_candidate(const fs::path& dir, std::string_view marker) {
  CandidateResult candidate{dir.native(), CandidateKind::NoGit, {}, {}};
  struct stat st {};
  if (::lstat((dir / ".git").c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      candidate.kind = CandidateKind::GitUnreadable;
      candidate.error = pylon::last_os_error();
    }
    return candidate;
  }
  // git would print the physical path of a plain repository's directory: no need to start it
  std::optional<std::string> top;
  if (is_plain_top_level(dir)) {
    std::error_code ec;
    const fs::path physical = fs::canonical(dir, ec);
    if (ec) {
      candidate.kind = CandidateKind::GitUnreadable;
      candidate.error = ec;
      return candidate;
    }
    top = physical.native();
  } else {
    top = git_line(dir, {"rev-parse", "--show-toplevel"}, GitEnv::WithoutLocal);
  }
  if (!top) {
    candidate.kind = CandidateKind::GitSilent;
    return candidate;
  }
  // record names a marker after the top level's lossy text, so compare in that form
  candidate.kind = encode_marker(pylon::lossy_utf8(*top)) == marker ? CandidateKind::Confirmed
                                                                    : CandidateKind::Elsewhere;
  candidate.top_level = std::move(*top);
  return candidate;
}

}  // namespace

MarkerOwner judge_owner(const OwnerEvidence& evidence) {
  MarkerOwner owner{evidence.marker, OwnerState::Unreachable, std::nullopt, Doubt::None, {}, {}};
  for (const CandidateResult& c : evidence.candidates) {
    if (c.kind == CandidateKind::Confirmed) {
      owner.state = OwnerState::Found;
      owner.root = c.top_level;
      return owner;
    }
  }
  const auto doubt = [&](Doubt why, std::string where, std::error_code error = {}) {
    owner.doubt = why;
    owner.where = std::move(where);
    owner.error = error;
    return owner;
  };
  if (!evidence.marker.starts_with('-')) {
    return doubt(Doubt::NotAPath, evidence.marker);
  }
  // U+FFFD may stand for bytes of the path that were not UTF-8: the name spells no path then
  if (evidence.marker.find("\xEF\xBF\xBD") != std::string::npos) {
    return doubt(Doubt::NameLossy, evidence.marker);
  }
  for (const ProbeResult& p : evidence.probes) {
    if (p.kind == ProbeKind::Failed) {
      return doubt(Doubt::ProbeFailed, p.path, p.error);
    }
    if (p.kind == ProbeKind::Dangling) {
      return doubt(Doubt::LinkDangles, p.path);
    }
  }
  if (!evidence.candidates.empty()) {
    const CandidateResult& c = evidence.candidates.front();
    switch (c.kind) {
      case CandidateKind::GitUnreadable:
        return doubt(Doubt::ProbeFailed, (fs::path(c.path) / ".git").native(), c.error);
      case CandidateKind::GitSilent:
        return doubt(Doubt::GitSilent, c.path);
      default:
        return doubt(Doubt::NotItsRepository, c.path);
    }
  }
  if (auto away = volume_doubt(evidence.marker, evidence.probes)) {
    return doubt(Doubt::VolumeAway, std::move(*away));
  }
  owner.state = OwnerState::Gone;
  return owner;
}

std::string doubt_text(const MarkerOwner& owner) {
  const std::string where = pylon::lossy_utf8(owner.where);
  switch (owner.doubt) {
    case Doubt::None:
      return {};
    case Doubt::NotAPath:
      return "the name does not spell an absolute path";
    case Doubt::NameLossy:
      return "the name holds U+FFFD, which may stand for bytes of the path that were not UTF-8";
    case Doubt::ProbeFailed:
      return "cannot look at " + where + ": " + pylon::os_text(owner.error);
    case Doubt::LinkDangles:
      return where + " is a symbolic link to nothing (its target may be on a volume that is away)";
    case Doubt::NotItsRepository:
      return where + " is there, but is not this marker's repository";
    case Doubt::GitSilent:
      return "git names no top level for " + where;
    case Doubt::VolumeAway:
      return where + " is missing or not mounted";
  }
  return {};
}

MarkerOwner locate_owner(std::string_view marker) {
  OwnerEvidence evidence{std::string(marker), {}, {}};
  // a probe of its own: what it remembers as failed holds for this name's candidates only
  DirectoryProbe probe;
  const auto found = resolve_marker(marker, probe, [&](const fs::path& dir) {
    evidence.candidates.push_back(check_candidate(dir, marker));
    return evidence.candidates.back().kind == CandidateKind::Confirmed;
  });
  if (!found) {
    for (const auto& [path, looked] : probe.looked()) {
      evidence.probes.push_back(probe_result(path, looked));
    }
    std::sort(evidence.probes.begin(), evidence.probes.end(),
              [](const ProbeResult& a, const ProbeResult& b) { return a.path < b.path; });
  }
  return judge_owner(evidence);
}

std::vector<std::string> marker_names(int dir_fd) {
  std::vector<std::string> names;
  // a copy for the listing: closedir closes the descriptor it was given
  pylon::UniqueFd copy(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
  DIR* const listing = copy ? ::fdopendir(copy.get()) : nullptr;
  if (listing == nullptr) {
    return names;
  }
  copy.release();
  ::rewinddir(listing);
  while (const struct dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] != '.') {
      names.emplace_back(entry->d_name);
    }
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<MarkerOwner> locate_owners(const fs::path& marker_dir) {
  std::vector<MarkerOwner> owners;
  const pylon::UniqueFd dir(::open(marker_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) {
    return owners;
  }
  for (const std::string& name : marker_names(dir.get())) {
    owners.push_back(locate_owner(name));
  }
  return owners;
}

}  // namespace gitactivity
