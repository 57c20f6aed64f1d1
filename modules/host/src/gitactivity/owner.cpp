#include "gitactivity/owner.hpp"

#include "gitactivity/repos.hpp"
#include "text.hpp"
#include "unique_fd.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
    std::string first = "/";  // appended, not "/" + string: GCC 12 warns -Wrestrict at -O3
    first += segments.front();
    return first;
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
  if (!git_entries_regular(dir)) {
    candidate.kind = CandidateKind::GitOdd;  // git would wait on a FIFO there
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
    top = git_line(dir, {"rev-parse", "--show-toplevel"}, GitEnv::WithoutLocal, owner_git_seconds);
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

bool regular_or_missing(const fs::path& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? S_ISREG(st.st_mode) : errno == ENOENT;
}

std::pair<AncestorFacts, fs::path> look_at_ancestor(const std::string& parent,
                                                    const Volumes& volumes);

// The volume facts of each distinct directory that an absent spelling was looked up in.
std::vector<AncestorFacts> ancestor_facts(const std::vector<ProbeResult>& probes,
                                          const Volumes& volumes, AncestorMemo* memo) {
  std::vector<AncestorFacts> ancestors;
  std::vector<fs::path> physical;
  for (const ProbeResult& p : probes) {
    if (p.kind != ProbeKind::Absent) {
      continue;
    }
    const fs::path absent(p.path);
    const std::string parent = absent.parent_path().native();
    auto it = std::find_if(ancestors.begin(), ancestors.end(),
                           [&](const AncestorFacts& a) { return a.path == parent; });
    if (it == ancestors.end()) {
      auto [facts, real] = [&] {
        if (memo == nullptr) {
          return look_at_ancestor(parent, volumes);
        }
        auto known = memo->seen.find(parent);
        if (known == memo->seen.end()) {
          known = memo->seen.emplace(parent, look_at_ancestor(parent, volumes)).first;
        }
        return known->second;
      }();
      ancestors.push_back(std::move(facts));
      physical.push_back(std::move(real));
      it = ancestors.end() - 1;
    }
    // a mount point of the fstab that is itself missing: the volume is away
    const fs::path& real = physical[static_cast<std::size_t>(it - ancestors.begin())];
    if (!real.empty() && volumes.unmounted_point((real / absent.filename()).native())) {
      it->unmounted = true;
    }
  }
  return ancestors;
}

// The facts of the directory `parent` an absent spelling was looked up in, and its real path
// (empty when it has none).
std::pair<AncestorFacts, fs::path> look_at_ancestor(const std::string& parent,
                                                    const Volumes& volumes) {
  AncestorFacts facts{parent, {}, {}, false, false, false, false, {}};
  std::error_code ec;
  fs::path real = fs::canonical(parent, ec);
  if (ec) {
    facts.error = ec;
    return {std::move(facts), fs::path()};
  }
  if (const auto mount = volumes.mount_of(real.native())) {
    facts.mount_point = volumes.mounts[*mount].point;
    facts.fs_type = volumes.mounts[*mount].type;
    facts.home_mount = volumes.home_mount == mount;
    facts.fixed_disk = *mount < volumes.fixed.size() && volumes.fixed[*mount];
  }
  DIR* const listing = ::opendir(real.c_str());
  if (listing == nullptr) {
    facts.error = pylon::last_os_error();
  } else {
    // one entry besides "." and ".." settles it: a volume's directory may hold thousands
    facts.empty = true;
    while (const struct dirent* entry = ::readdir(listing)) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") {
        facts.empty = false;
        break;
      }
    }
    ::closedir(listing);
  }
  facts.unmounted = volumes.unmounted_point(real.native());
  return {std::move(facts), std::move(real)};
}

// Absence is certain only where old content cannot come back unnoticed: the root's volume, the
// home's, a memory file system, or a fixed disk of the fstab mounted from that very disk.
bool absence_certain(const AncestorFacts& a) {
  return !a.mount_point.empty() && (a.mount_point == "/" || a.home_mount || a.fixed_disk ||
                                    a.fs_type == "tmpfs" || a.fs_type == "ramfs");
}

}  // namespace

bool git_entries_regular(const fs::path& dir) {
  const fs::path git = dir / ".git";
  struct stat st {};
  // stat, not open: it never waits on a FIFO nor wakes a device
  if (::stat(git.c_str(), &st) != 0) {
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    return S_ISREG(st.st_mode);
  }
  constexpr std::array<const char*, 4> read_first = {"HEAD", "config", "commondir", "gitdir"};
  return std::all_of(read_first.begin(), read_first.end(),
                     [&](const char* name) { return regular_or_missing(git / name); });
}

MarkerOwner judge_owner(const OwnerEvidence& evidence) {
  MarkerOwner owner{evidence.marker, OwnerState::Unreachable, std::nullopt, {}, false};
  for (const CandidateResult& c : evidence.candidates) {
    if (c.kind == CandidateKind::Confirmed) {
      owner.state = OwnerState::Found;
      owner.root = c.top_level;
      return owner;
    }
  }
  const auto doubt = [&](std::string reason) {
    owner.reason = std::move(reason);
    return owner;
  };
  const auto shown = [](std::string_view path) { return pylon::lossy_utf8(path); };
  const auto cannot_look = [&](std::string_view path, const std::error_code& error) {
    return doubt("cannot look at " + shown(path) + ": " + pylon::os_text(error));
  };
  if (evidence.bounded) {
    return doubt("the name spells more than " + std::to_string(max_candidates) +
                 " directories, more than the search tries");
  }
  if (!evidence.marker.starts_with('-')) {
    return doubt("the name does not spell an absolute path");
  }
  // U+FFFD may stand for bytes of the path that were not UTF-8: the name spells no path then
  if (evidence.marker.find("\xEF\xBF\xBD") != std::string::npos) {
    return doubt(
        "the name holds U+FFFD, which may stand for bytes of the path that were not UTF-8");
  }
  for (const ProbeResult& p : evidence.probes) {
    if (p.kind == ProbeKind::Failed) {
      return cannot_look(p.path, p.error);
    }
    if (p.kind == ProbeKind::Dangling) {
      return doubt(shown(p.path) +
                   " is a symbolic link to nothing (its target may be on a volume that is away)");
    }
  }
  if (!evidence.candidates.empty()) {
    const CandidateResult& c = evidence.candidates.front();
    switch (c.kind) {
      case CandidateKind::GitUnreadable:
        return cannot_look((fs::path(c.path) / ".git").native(), c.error);
      case CandidateKind::GitSilent:
        return doubt("git names no top level for " + shown(c.path));
      case CandidateKind::GitOdd:
        return doubt(shown(c.path) +
                     "/.git holds an entry git reads first that is not a regular file");
      default:
        return doubt(shown(c.path) + " is there, but is not this marker's repository");
    }
  }
  if (auto away = volume_doubt(evidence.marker, evidence.probes)) {
    return doubt(shown(*away) + " is missing or not mounted");
  }
  for (const AncestorFacts& a : evidence.ancestors) {
    if (a.error) {
      return cannot_look(a.path, a.error);
    }
    const std::string below = "not found below " + shown(a.path);
    if (a.unmounted) {
      return doubt(below + ": the fstab names a mount point there, not mounted now");
    }
    if (a.empty) {
      return doubt(below + ", an empty directory, as an unmounted volume's mount point is");
    }
    if (!absence_certain(a)) {
      return doubt(below + ", on a volume that may be away");
    }
  }
  // A volume it was seen on may come back with it, whatever its mount point looks like meanwhile:
  // removed at unmount, or holding a file of its own
  if (const std::optional<RememberedMount>& seen = evidence.remembered) {
    const std::string below = "not found below " + shown(seen->point);
    if (!evidence.mounted) {
      return doubt(below + ", a mount point when it was last seen, with nothing mounted there now");
    }
    if (evidence.mounted->source != seen->source || evidence.mounted->root != seen->root) {
      return doubt(below + ", which holds another volume now than when it was last seen");
    }
  }
  owner.state = OwnerState::Gone;
  return owner;
}

MarkerOwner locate_owner(std::string_view marker, const Volumes& volumes, AncestorMemo* memo) {
  OwnerEvidence evidence{std::string(marker), {}, {}, {}, false, std::nullopt, std::nullopt};
  // a probe of its own: what it remembers as failed holds for this name's candidates only
  DirectoryProbe probe;
  const auto found = resolve_marker(marker, probe, [&](const fs::path& dir) {
    if (evidence.candidates.size() >= max_candidates) {
      evidence.bounded = true;
      return true;  // ends the search; the judge reads `bounded`
    }
    evidence.candidates.push_back(check_candidate(dir, marker));
    return evidence.candidates.back().kind == CandidateKind::Confirmed;
  });
  if (!found) {
    for (const auto& [path, looked] : probe.looked()) {
      evidence.probes.push_back(probe_result(path, looked));
    }
    std::sort(evidence.probes.begin(), evidence.probes.end(),
              [](const ProbeResult& a, const ProbeResult& b) { return a.path < b.path; });
    evidence.ancestors = ancestor_facts(evidence.probes, volumes, memo);
    if (volumes.memory != nullptr) {
      const auto& remembered = volumes.memory->markers;
      if (const auto seen = remembered.find(evidence.marker); seen != remembered.end()) {
        evidence.remembered = seen->second;
        if (const auto now = volumes.mounted_at(seen->second.point)) {
          evidence.mounted = volumes.mounts[*now];
        }
      }
    }
  }
  return judge_owner(evidence);
}

MarkerOwner out_of_time(std::string_view marker) {
  return {std::string(marker), OwnerState::Unreachable, std::nullopt,
          "not looked at: the deadline passed (raise --timeout)", true};
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

std::vector<MarkerOwner> locate_owners(const fs::path& marker_dir,
                                       std::chrono::steady_clock::time_point deadline) {
  std::vector<MarkerOwner> owners;
  const pylon::UniqueFd dir(::open(marker_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) {
    return owners;
  }
  const Volumes volumes = volumes_live();
  AncestorMemo memo;
  for (const std::string& name : marker_names(dir.get())) {
    owners.push_back(std::chrono::steady_clock::now() < deadline
                         ? locate_owner(name, volumes, &memo)
                         : out_of_time(name));
  }
  return owners;
}

}  // namespace gitactivity
