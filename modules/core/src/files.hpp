#pragma once

#include "result.hpp"

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace pylon {

// The most any reader here takes of one file: hooks, share.json and peers.json are small, and a
// huge file must not cost all memory.
inline constexpr std::size_t read_limit = std::size_t{1} << 20;

// The error of a file that is not a regular one (a device, FIFO, socket or directory) where the
// program reads or replaces only regular files. os_text renders it as "not a regular file".
std::error_code not_regular_file();
// The error of a file longer than read_limit where it is read whole: "larger than 1 MiB".
std::error_code too_large();
// The error of a file that has other hard links where the program writes only files that are its
// own: "a file with other hard links".
std::error_code other_links();
// The error of a write refused because a symbolic link on the way to the file has another owner
// than the file (find_foreign_link names them).
std::error_code foreign_link();

// At most read_limit + 1 bytes from the start of the file: a longer text means the file goes on.
// ENOENT and the like come back as the error, and so does not_regular_file before a byte is read:
// a FIFO would block and a device might never end.
Result<std::string, std::error_code> read_head(const std::filesystem::path& path);
// The whole file as bytes, as read_head reads it; too_large when it is longer than read_limit.
Result<std::string, std::error_code> read_file(const std::filesystem::path& path);
// Hands an open file's bytes to `chunk` as they are read, to its end, with no bound on the whole:
// for a reader that bounds what it keeps itself (the prune journal's lines).
Result<Unit, std::error_code> read_chunks(int fd,
                                          const std::function<void(std::string_view)>& chunk);

// Each line of a regular file (without its line feed; a last line without one too), read a chunk
// at a time with no bound on the file; a line longer than `max_line` is passed over.
Result<Unit, std::error_code> read_lines(const std::filesystem::path& path, std::size_t max_line,
                                         const std::function<void(std::string_view)>& line);

// A symbolic link on the way to a file whose owner is not the file's owner.
struct ForeignLink {
  std::filesystem::path link;    // the link, spelt as reached from the path given
  std::filesystem::path target;  // the file the whole path leads to
};
// The first symbolic link on the way to `path` (the file's own name, or a directory on the way)
// whose owner differs from the owner of the file it leads to; nothing when every link has that
// owner. A file that does not exist yet is judged by the owner of its directory, or by the
// running user where that directory is still to be made (as enable makes it). Read-only, for the
// dry runs: the gate checks the same on the descriptors it writes through.
Result<std::optional<ForeignLink>, std::error_code> find_foreign_link(
    const std::filesystem::path& path);
// Where a path leads, as the gate walks a dotfiles link: the final directory (links followed on the
// way and at the last name), the name in it, and the first link of another owner than the file.
struct WalkedPath {
  std::filesystem::path dir;                // the directory the last name lies in, as reached
  std::string name;                         // the last name (empty when the path is a directory)
  bool complete = true;                     // false: a directory on the way does not exist (yet)
  std::optional<ForeignLink> foreign_link;  // as find_foreign_link says
};
// The walk behind find_foreign_link and the writers, read-only: the one walker of a path.
Result<WalkedPath, std::error_code> walk_path(const std::filesystem::path& path);
// The one wording of a write refused for a foreign link; it names both paths.
std::string foreign_link_text(const ForeignLink& found);

// The mode a rewrite that makes a file executable gives it: an execute bit beside each read bit
// and nothing else (0600 -> 0700, 0644 -> 0755), so no one may read or write more than before.
mode_t with_exec(mode_t mode);
// Who besides the running user may change a configuration file that names a place to write.
enum class ConfigWriter { Owner, Group, Everyone };
// What the configuration rule reads: the file, the running user, and the place the setting names
// (the directory a write there makes or replaces an entry in: the nearest one that exists).
struct ConfigEvidence {
  uid_t owner = 0;  // of the configuration file
  gid_t group = 0;
  mode_t mode = 0;
  uid_t me = 0;
  uid_t place_owner = 0;
  gid_t place_group = 0;
  mode_t place_mode = 0;
  bool entry_exists = false;  // the entry the write replaces is there already
  uid_t entry_owner = 0;      // and its owner (a sticky directory keeps it to them)
};
// The first of those who may change the file (everyone, its group, its owner) who could not make
// the write at the place themselves; nothing when the write is no more than each could do. Root
// may do anything, so a file of root's alone never stops a write.
std::optional<ConfigWriter> judge_config_writer(const ConfigEvidence& e);
// ConfigEvidence for `config` and the file `target` a write would make or replace: its directory,
// or where that is still to be made, the nearest existing parent; the running user as `me`.
Result<ConfigEvidence, std::error_code> config_evidence(const std::filesystem::path& config,
                                                        const std::filesystem::path& target);

}  // namespace pylon
