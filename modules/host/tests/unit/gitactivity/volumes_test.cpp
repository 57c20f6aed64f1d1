#include "gitactivity/volumes.hpp"

#include "temp_dir.hpp"

#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include <fstream>

#include <gtest/gtest.h>

namespace {

using namespace gitactivity;
using pylon::testing::TempDir;

std::filesystem::path sample(const TempDir& dir, const char* name, const std::string& text) {
  const std::filesystem::path file = dir / name;
  std::ofstream(file) << text;
  return file;
}

}  // namespace

#ifdef __linux__
TEST(ReadMountTable, ReadsPointTypeSourceAndDevicePastOptionalFields) {
  const TempDir dir;
  const auto file =
      sample(dir, "mountinfo",
             "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
             "40 27 0:45 /srv /home/u/mnt/my\\040nas rw shared:7 master:1 - "
             "fuse.sshfs u@nas:/srv rw\n"
             "garbage line\n"
             "43 27 x:1 / /bad rw - ext4 /dev/x rw\n"
             "44 27 1:y / /bad rw - ext4 /dev/y rw\n"
             "41 27 0:46 / /tmp rw - tmpfs tmpfs rw\n"  // read past a line passed over
             "42 27 8:17 / /data rw shared:9\n");       // no separator: not read
  const std::vector<MountEntry> want = {
      {"/", "ext4", "/dev/vda", static_cast<std::uint64_t>(makedev(254, 0)), "/"},
      {"/home/u/mnt/my nas", "fuse.sshfs", "u@nas:/srv", static_cast<std::uint64_t>(makedev(0, 45)),
       "/srv"},
      {"/tmp", "tmpfs", "tmpfs", static_cast<std::uint64_t>(makedev(0, 46)), "/"},
  };
  EXPECT_EQ(read_mount_table(file), want);
  EXPECT_TRUE(read_mount_table(dir / "missing").empty());
}
#endif

TEST(ReadFstab, SkipsCommentsAndSwapAndUnescapesPoints) {
  const TempDir dir;
  const auto file = sample(dir, "fstab",
                           "# <file system> <mount point> <type>\n"
                           "UUID=1111-aaaa / ext4 errors=remount-ro 0 1\n"
                           "\n"
                           "  PARTUUID=22\t/data/  xfs defaults,nofail 0 2\n"
                           "/dev/sdc1 /mnt/old\\040disk ext4 noauto 0 0\n"
                           "/swapfile none swap sw 0 0\n"
                           "nas:/srv /home/u/mnt/nas nfs4 _netdev 0 0\n"
                           "/dev/sdd1 /mnt/bare ext4\n");  // the options may be left out
  const std::vector<FstabEntry> want = {
      {"UUID=1111-aaaa", "/", "ext4"},        {"PARTUUID=22", "/data", "xfs"},
      {"/dev/sdc1", "/mnt/old disk", "ext4"}, {"nas:/srv", "/home/u/mnt/nas", "nfs4"},
      {"/dev/sdd1", "/mnt/bare", "ext4"},
  };
  EXPECT_EQ(read_fstab(file), want);
}

TEST(DiskNode, OnlyUuidPartuuidAndDevicesNameADisk) {
  EXPECT_EQ(disk_node("UUID=1111-aaaa"), std::filesystem::path("/dev/disk/by-uuid/1111-aaaa"));
  EXPECT_EQ(disk_node("PARTUUID=22"), std::filesystem::path("/dev/disk/by-partuuid/22"));
  EXPECT_EQ(disk_node("/dev/sdb1"), std::filesystem::path("/dev/sdb1"));
  for (const char* other : {"LABEL=Backup", "nas:/srv", "tmpfs", "UUID=", "/dev/"}) {
    EXPECT_EQ(disk_node(other), std::nullopt) << other;
  }
}

TEST(Volumes, MountOfTakesTheLongestPointAndTheLastMountedThere) {
  Volumes volumes;
  volumes.mounts = {{"/", "ext4", "/dev/vda", 1, "/"},
                    {"/home", "ext4", "/dev/vdb", 2, "/"},
                    {"/media/u/Disk", "vfat", "/dev/sdb1", 3, "/"},
                    {"/media/u/Disk", "exfat", "/dev/sdc1", 4, "/"}};
  volumes.fstab = {{"UUID=1", "/data", "ext4"}, {"UUID=2", "/home", "ext4"}};
  EXPECT_EQ(volumes.mount_of("/homework"), 0U);  // a point is a whole component
  EXPECT_EQ(volumes.mount_of("/home"), 1U);
  EXPECT_EQ(volumes.mount_of("/home/u/r"), 1U);
  EXPECT_EQ(volumes.mount_of("/media/u/Disk/r"), 3U);
  EXPECT_EQ(volumes.mount_of("relative"), std::nullopt);
  EXPECT_TRUE(volumes.unmounted_point("/data"));
  EXPECT_FALSE(volumes.unmounted_point("/home"));          // mounted now
  EXPECT_FALSE(volumes.unmounted_point("/media/u/Disk"));  // not in the fstab
}

TEST(MountMemory, ReadsBackWhatItWroteAndPassesOverEveryOtherLine) {
  MountMemory memory;
  memory.markers = {{"-home-u-my nas\tr", {"/home/u/my nas", "u@nas:/srv", "/"}},
                    {"-Volumes-Disk-r", {"/Volumes/Disk", "/dev/disk4s1", ""}}};
  const MountMemory back = parse_mount_memory(mount_memory_text(memory) +
                                              "-a\t/x\ts\n"                    // a field short
                                              "-a\t/x\ts\t/\t/\n"              // a field too many
                                              "a\t/x\ts\t/\n"                  // no marker's name
                                              "-a\t/\ts\t/\n"                  // the root's volume
                                              "-a\t/x\\x0\ts\t/\n"             // a bad escape
                                              "-a\t/x\\x00\ts\t/\n"            // a NUL
                                              "-Volumes-Disk-r\t/y\ts\t/\n\n"  // twice; empty
                                              "-a\t/x\ts\t/");                 // torn: no newline
  EXPECT_EQ(back.markers, memory.markers);
  EXPECT_EQ(back.bad_lines, (std::vector<std::size_t>{3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST(MountMemory, OnlyADirectoryAndFileOfTheUsersAloneAreReadAndOnlyAChangeIsWritten) {
  const TempDir dir;
  const auto file = sample(dir, "mounts.tsv", "-a-r\t/a\ts\t/\n");
  for (const auto& [dir_mode, file_mode, read] :
       {std::tuple{0700, 0600, true}, {0700, 0620, false}, {0770, 0600, false}}) {
    std::filesystem::permissions(dir.path(), std::filesystem::perms(dir_mode));
    std::filesystem::permissions(file, std::filesystem::perms(file_mode));
    EXPECT_EQ(read_mount_memory(dir.path()).markers.size(), read ? 1U : 0U)
        << dir_mode << file_mode;
  }
  Volumes volumes;  // a repository on the root's volume forgets, one on a share is noted
  volumes.mounts = {{"/", "ext4", "/dev/vda", 1, "/"}, {"/home/u/nas", "nfs4", "nas:/srv", 2, "/"}};
  MountMemory memory;
  memory.markers = {{"-r", {"/r", "/dev/sdb1", "/"}}, {"-x", {"/x", "s", "/"}}};
  EXPECT_TRUE(note_mounts(memory, volumes, {"/home/u/nas/a", "/r"}, {"-x"}));
  EXPECT_EQ(memory.markers, (std::map<std::string, RememberedMount>{
                                {"-home-u-nas-a", {"/home/u/nas", "nas:/srv", "/"}}}));
  EXPECT_FALSE(note_mounts(memory, volumes, {"/home/u/nas/a"}, {"-y"}));
}
