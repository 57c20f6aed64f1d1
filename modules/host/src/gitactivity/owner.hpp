#pragma once

#include "gitactivity/markers.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace gitactivity {

// Which repository a marker belongs to. Found: a directory its name spells holds `.git`, and the
// marker name of git's top level for it is the marker's own. Gone: nothing its name spells is
// there, every path tested was plainly absent, and the volume it lies on is present. Unreachable:
// anything else; prune never removes such a marker.
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
};
struct CandidateResult {
  std::string path;
  CandidateKind kind = CandidateKind::NoGit;
  std::string top_level;  // Confirmed and Elsewhere: git's top level
  std::error_code error;  // GitUnreadable
};

// Everything the search for one marker's repository found out, in search order.
struct OwnerEvidence {
  std::string marker;
  std::vector<ProbeResult> probes;
  std::vector<CandidateResult> candidates;
};

// Why a marker that was not found is not called gone; the path concerned goes beside it.
enum class Doubt {
  None,              // found or gone
  NotAPath,          // the name does not start with "-"
  NameLossy,         // the name holds U+FFFD, which may stand for bytes that were not UTF-8
  ProbeFailed,       // a path could not be tested (with the error)
  LinkDangles,       // a symbolic link on the way leads nowhere
  NotItsRepository,  // a directory the name spells is there but is not its repository
  GitSilent,         // git names no top level for a directory holding `.git`
  VolumeAway,        // the first directory, or the volume below /Volumes, /mnt, /media/USER or
                     // /run/media/USER, is missing or not mounted
};

struct MarkerOwner {
  std::string marker;  // the file name's own bytes
  OwnerState state = OwnerState::Unreachable;
  std::optional<std::filesystem::path> root;  // Found only: git's top level
  Doubt doubt = Doubt::None;
  std::string where;      // the path the doubt concerns, as its own bytes
  std::error_code error;  // ProbeFailed only

  bool operator==(const MarkerOwner&) const = default;
};

// The rule over what the search found: the first confirmed candidate, else gone or unreachable.
MarkerOwner judge_owner(const OwnerEvidence& evidence);

// Why a marker that was not found is not called gone, in words (empty for found and gone).
std::string doubt_text(const MarkerOwner& owner);

// The search itself: tries the directories the name spells in resolve_marker's order, stopping
// at the first confirmed one. A plain repository's top level is read without git
// (is_plain_top_level); only linked work trees, submodules and unusual configurations start git.
MarkerOwner locate_owner(std::string_view marker);
// The names in the marker directory that may be markers (none starting with "."), in byte order,
// as their own bytes; nothing when it cannot be listed.
std::vector<std::string> marker_names(int dir_fd);
// locate_owner for every marker of the directory, in byte order of their names; none when the
// directory cannot be listed.
std::vector<MarkerOwner> locate_owners(const std::filesystem::path& marker_dir);

}  // namespace gitactivity
