#pragma once

#include "result.hpp"
#include "unique_fd.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace gitactivity {

// One marker as read back: the file name (its own bytes) and its modification time in whole seconds
// (0 before 1970).
struct Marker {
  std::string name;
  std::int64_t epoch = 0;

  bool operator==(const Marker&) const = default;
};

// The marker directory for this environment; never fails.
std::filesystem::path marker_dir();
// The rule behind marker_dir: a non-empty override, else {fleet home}/git-activity, else
// {home}/.kestrel/git-activity.
std::filesystem::path marker_dir_from(const std::optional<std::string>& override_dir,
                                      const std::optional<std::filesystem::path>& fleet_home,
                                      const std::filesystem::path& home);
// The marker directory record writes to: marker_dir's, but nothing where that would be relative
// to wherever the hook runs (see has_home).
std::optional<std::filesystem::path> record_dir();
// False when nothing names a place for markers: neither an override nor PYLON_HOME nor HOME is set
// and non-empty. A hook run so must not write markers into the work tree.
bool has_home(const std::optional<std::string>& override_dir,
              const std::optional<std::string>& pylon_home, const std::optional<std::string>& home);
// ~/.kestrel/git-activity ("." for an unset HOME); never fails.
std::filesystem::path legacy_marker_dir();
// The current system time in whole seconds since 1970; 0 for a clock before 1970.
std::int64_t now_epoch();
// The repository path with every "/" turned into "-".
std::string encode_marker(std::string_view repo);

// Creates or empties the repository's marker and sets its times (now when `epoch` is absent).
// A link at the marker's name is not followed, and anything but a regular file is refused, as is
// one with other hard links (pylon::other_links): its bytes and times are another name's too.
Result<std::filesystem::path, std::error_code> write_marker(const std::filesystem::path& dir,
                                                            std::string_view repo,
                                                            std::optional<std::int64_t> epoch);
struct MarkerWrite {
  std::filesystem::path path;
  bool written = false;  // false when the marker was already at least as new
};
// write_marker that never moves a marker back: one at least as new as `epoch` is left alone.
Result<MarkerWrite, std::error_code> advance_marker(const std::filesystem::path& dir,
                                                    std::string_view repo,
                                                    std::optional<std::int64_t> epoch);
// Sets access and modification time of the open file.
Result<Unit, std::error_code> set_mtime(int fd, std::int64_t epoch);
// Creates the marker `name` in `dir` (made as needed) or empties an existing regular one (mode
// 0666 before the umask for a new file), never through a link at its name; the descriptor is open
// for writing.
Result<pylon::UniqueFd, std::error_code> create_empty(const std::filesystem::path& dir,
                                                      const std::string& name);
// Why the marker directory cannot be listed: nothing for a readable one or none at all (no
// marker yet); not_a_directory for a file or a link to one.
std::optional<std::error_code> unreadable_marker_dir(const std::filesystem::path& dir);
// The markers of a directory, newest first, then by name; never fails (unreadable reads empty).
std::vector<Marker> read_markers(const std::filesystem::path& dir);

// Asks the file system once per path whether it is a directory (links followed). Markers share
// most of their parent directories: one probe for a whole listing saves nearly all the stats. It
// also remembers which (directory, rest of the name) pairs led nowhere: links can make one
// directory reachable by exponentially many spellings, and each pair is then tried once.
class DirectoryProbe {
 public:
  using Id = std::pair<std::uint64_t, std::uint64_t>;  // device, inode
  struct Looked {
    std::optional<Id> id;  // a directory's identity
    int error = 0;         // else what stat said; 0 for something that is not a directory
  };
  // The directory's identity, or nothing when the path is no directory.
  const std::optional<Id>& directory(const std::filesystem::path& path);
  bool failed_before(const std::filesystem::path& dir, std::span<const std::string> rest);
  void note_failure(const std::filesystem::path& dir, std::span<const std::string> rest);
  // Every path asked about so far, by its text.
  const std::unordered_map<std::string, Looked>& looked() const { return known_; }

 private:
  std::unordered_map<std::string, Looked> known_;
  std::set<std::tuple<std::uint64_t, std::uint64_t, std::string>> failed_;
};

// Whether a directory the whole name spells is the answer; none takes the first. The probe's
// record of failures holds for one test only: give each test its own probe.
using AcceptDirectory = std::function<bool(const std::filesystem::path&)>;

// The existing directory a marker name stands for, preferring the shortest first component;
// nothing for a name without a leading "-" or with no directory behind it.
std::optional<std::filesystem::path> resolve_marker(std::string_view name, DirectoryProbe& probe,
                                                    const AcceptDirectory& accept = {});
// resolve_marker with a probe of its own, any directory accepted: the place `list` shows for a
// marker whose repository the owner rule did not find.
std::optional<std::filesystem::path> spelled_directory(std::string_view name);
// The existing directory below `base` that the segments spell when each "-" between them may also
// be a "-" inside a name, preferring the shortest first component.
std::optional<std::filesystem::path> resolve_from(const std::filesystem::path& base,
                                                  std::span<const std::string> segments,
                                                  DirectoryProbe& probe,
                                                  const AcceptDirectory& accept = {});

}  // namespace gitactivity
