#pragma once

#include <cstdint>
#include <filesystem>
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

// What the machine's mounts say, read once for a whole run.
struct Volumes {
  std::vector<MountEntry> mounts;
  std::vector<FstabEntry> fstab;
  std::optional<std::size_t> home_mount;  // index into mounts of the one holding the home
  std::vector<bool> fixed;                // per mount: a fixed disk of the fstab, mounted from it

  // The mount holding an absolute physical path (the last mounted at the longest matching point).
  std::optional<std::size_t> mount_of(std::string_view path) const;
  // True when the fstab names `point` as a mount point and nothing is mounted there now.
  bool unmounted_point(std::string_view point) const;
};

// Volumes of this machine: /proc/self/mountinfo and /etc/fstab on Linux, the kernel's list of
// mounts on macOS; the home directory from $HOME.
Volumes volumes_live();

}  // namespace gitactivity
