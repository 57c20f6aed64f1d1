#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gitactivity {

// One line of the mount table: a file system mounted now.
struct MountEntry {
  std::string point;         // where it is mounted, as its own bytes
  std::string type;          // "ext4", "tmpfs", "nfs4", "fuse.sshfs"
  std::string source;        // "/dev/sda2", "server:/export"
  std::uint64_t device = 0;  // the device number its files report (st_dev)
  std::string root;          // the directory of the file system mounted there: "/" for a whole
                             // volume, another for a bind mount; empty where the system never says

  bool operator==(const MountEntry&) const = default;
};

// One line of the table of file systems (/etc/fstab).
struct FstabEntry {
  std::string source;  // "UUID=...", "PARTUUID=...", "/dev/sdb1", "server:/export"
  std::string point;
  std::string type;

  bool operator==(const FstabEntry&) const = default;
};

// The mount table in Linux's mountinfo form, in mount order; nothing when it cannot be read.
std::vector<MountEntry> read_mount_table(const std::filesystem::path& file);
// The table of file systems in fstab form, swap and comments left out; nothing when unreadable.
std::vector<FstabEntry> read_fstab(const std::filesystem::path& file);
// The device node an fstab source names when it names a disk by UUID, PARTUUID or device path;
// nothing for anything else (a label, a share, a pseudo file system).
std::optional<std::filesystem::path> disk_node(std::string_view source);

// The mount a marker's repository lay on when enable, enable-all or a real prune last saw it:
// where it was mounted, and what the mount table then said was mounted there. The point is the
// key, as a bind mount's source is the same as the volume it comes from.
struct RememberedMount {
  std::string point;
  std::string source;
  std::string root;

  bool operator==(const RememberedMount&) const = default;
};

// The remembered mounts of the markers whose repositories lay on a volume other than the root's,
// kept in the state directory.
struct MountMemory {
  std::map<std::string, RememberedMount> markers;  // by the marker's name
  std::vector<std::size_t> bad_lines;              // numbers (from 1) of the lines passed over
  bool refused = false;  // a file is there that was not read: it is never written over
};

// The memory's file in a state directory.
std::filesystem::path mount_memory_file(const std::filesystem::path& state_dir);
// A line per marker, in name order: the name, the point, the source and the root, each as
// escape_bytes writes it, separated by tabs.
std::string mount_memory_text(const MountMemory& memory);
// What mount_memory_text wrote. A line that does not read (a field too many or too few, a bad
// escape, a name that is no marker's, a point that is not absolute, a name given twice, a last
// line without its newline) is passed over and its number noted.
MountMemory parse_mount_memory(std::string_view text);
// The memory kept in the state directory; none when the directory or its file may be changed by
// another user than the running one (root too is held to this), or cannot be read.
MountMemory read_mount_memory(const std::filesystem::path& state_dir);

// What the machine's mounts say, read once for a whole run.
struct Volumes {
  std::vector<MountEntry> mounts;
  std::vector<FstabEntry> fstab;
  std::optional<std::size_t> home_mount;  // index into mounts of the one holding the home
  std::vector<bool> fixed;                // per mount: a fixed disk of the fstab, mounted from it
  const MountMemory* memory = nullptr;    // the remembered mounts, read once for the process

  // The mount holding an absolute physical path (the last mounted at the longest matching point).
  std::optional<std::size_t> mount_of(std::string_view path) const;
  // True when the fstab names `point` as a mount point and nothing is mounted there now.
  bool unmounted_point(std::string_view point) const;
  // The mount at exactly `point` that is seen there (the last mounted there), if any.
  std::optional<std::size_t> mounted_at(std::string_view point) const;
};

// Volumes of this machine: /proc/self/mountinfo and /etc/fstab on Linux, the kernel's list of
// mounts on macOS; the home directory from $HOME; the state directory's memory of mounts, read at
// the process's first call.
Volumes volumes_live();

// Notes the memory of each top level given (a repository's physical path, as its own bytes) for
// its marker: the mount holding it, or nothing when that is the root's volume. The markers of
// `forget` lose theirs. True when the memory changed.
bool note_mounts(MountMemory& memory, const Volumes& volumes, const std::vector<std::string>& tops,
                 const std::vector<std::string>& forget);
// note_mounts on the memory `volumes` read, written to the state directory when it changed. Silent:
// where the state directory cannot be made, trusted or written, the markers keep the rule that
// holds for a marker with no memory.
void remember_mounts(const Volumes& volumes, const std::vector<std::string>& tops,
                     const std::vector<std::string>& forget = {});

}  // namespace gitactivity
