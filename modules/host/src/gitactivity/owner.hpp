#pragma once

#include "gitactivity/markers.hpp"
#include "gitactivity/volumes.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace gitactivity {

// Which repository a marker belongs to. Found: a directory its name spells holds `.git`, and the
// marker name of git's top level for it is the marker's own. Gone: nothing its name spells is
// there, every path tested was plainly absent, and each lies on a volume whose old content cannot
// come back unnoticed (the root's, the home's, a memory file system, a fixed disk of the fstab),
// and where the repository was last seen on a volume of its own, that volume is mounted now.
// Unreachable: anything else; prune never removes such a marker unless the user names it.
enum class OwnerState { Found, Gone, Unreachable };

// What stat said about one path a marker's name may spell.
enum class ProbeKind {
  Directory,
  Absent,    // no such name (ENOENT, ENOTDIR), or a name that holds no directory
  Dangling,  // a symbolic link to nothing: its target may lie on a volume that is away
  Failed,    // any other error
};
struct ProbeResult {
  std::string path;  // absolute, as the search spelt it
  ProbeKind kind = ProbeKind::Absent;
  std::uint64_t device = 0;  // Directory: the device it lives on
  std::error_code error;     // Failed: why
};

// What a directory the whole name spells turned out to be.
enum class CandidateKind {
  Confirmed,      // the marker's repository
  NoGit,          // no `.git` in it
  GitUnreadable,  // `.git` could not be tested (error says why)
  GitSilent,      // `.git` is there, but git names no top level for it
  Elsewhere,      // git's top level for it has another marker name (a link, another case)
  GitOdd,         // a `.git` entry git reads first is not a regular file (a FIFO would stall git)
};
struct CandidateResult {
  std::string path;
  CandidateKind kind = CandidateKind::NoGit;
  std::string top_level;  // Confirmed and Elsewhere: git's top level
  std::error_code error;  // GitUnreadable
};

// The nearest existing directory on the way to a spelling that is absent, and its volume.
struct AncestorFacts {
  std::string path;         // as the search spelt it
  std::string mount_point;  // of the mount holding it; empty when no mount was found
  std::string fs_type;
  bool home_mount = false;  // the mount that holds the home directory
  bool fixed_disk = false;  // an fstab disk (UUID, PARTUUID, device) mounted now from that disk
  bool empty = false;       // holds nothing, as an unmounted volume's mount point does
  bool unmounted = false;   // the fstab names it, or the absent name below it, as a mount point
                            // with nothing mounted there now
  std::error_code error;    // it could not be looked at
};

// What one pass over many markers learnt about the directories their absent spellings lie in, so
// that markers sharing such a directory look at it once. A second look passes a new one for each
// batch of removals (prune_batch), as it reads the mount table again: the file system as it is now.
struct AncestorMemo {
  std::map<std::string, std::pair<AncestorFacts, std::filesystem::path>> seen;  // and its real path
};

// Everything the search for one marker's repository found out, in search order.
struct OwnerEvidence {
  std::string marker;
  std::vector<ProbeResult> probes;
  std::vector<CandidateResult> candidates;
  std::vector<AncestorFacts> ancestors;       // one per distinct nearest existing ancestor
  bool bounded = false;                       // the search stopped at its bound of spellings
  std::optional<RememberedMount> remembered;  // the volume its repository was last seen on
  std::optional<MountEntry> mounted;          // what is mounted at that point now
};

struct MarkerOwner {
  std::string marker;  // the file name's own bytes
  OwnerState state = OwnerState::Unreachable;
  std::optional<std::filesystem::path> root;  // Found only: git's top level
  // why a marker that was not found is not called gone, in words, made where it was found out;
  // empty for found and gone
  std::string reason;
  bool out_of_time = false;  // not looked at: the run's deadline had passed

  bool operator==(const MarkerOwner&) const = default;
};

// The rule over what the search found: the first confirmed candidate, else gone or unreachable.
MarkerOwner judge_owner(const OwnerEvidence& evidence);

// The search itself: tries the directories the name spells in resolve_marker's order, stopping
// at the first confirmed one. A plain repository's top level is read without git
// (is_plain_top_level); only linked work trees, submodules and unusual configurations start git.
// The spellings are bounded (max_candidates), as is each git run (owner_git_seconds).
MarkerOwner locate_owner(std::string_view marker, const Volumes& volumes,
                         AncestorMemo* memo = nullptr);
inline constexpr std::size_t max_candidates = 16;
inline constexpr std::uint64_t owner_git_seconds = 2;
// True when every `.git` entry git reads first (the `.git` file, or HEAD, config, commondir and
// gitdir in a `.git` directory) that exists opens without blocking as a regular file.
bool git_entries_regular(const std::filesystem::path& dir);
// The names in the marker directory that may be markers (none starting with "."), in byte order,
// as their own bytes; nothing when it cannot be listed.
std::vector<std::string> marker_names(int dir_fd);
// locate_owner for every marker of the directory, in byte order of their names; none when the
// directory cannot be listed. Markers not begun by the deadline are Unreachable with OutOfTime.
std::vector<MarkerOwner> locate_owners(const std::filesystem::path& marker_dir,
                                       std::chrono::steady_clock::time_point deadline);
// The owner of a marker that was not looked at because the run's deadline passed.
MarkerOwner out_of_time(std::string_view marker);

}  // namespace gitactivity
