#include "gitactivity/owner.hpp"

#include <cerrno>

#include <gtest/gtest.h>

namespace {

using namespace gitactivity;

ProbeResult dir(std::string path, std::uint64_t device = 1) {
  return {std::move(path), ProbeKind::Directory, device, {}};
}
ProbeResult absent(std::string path) {
  return {std::move(path), ProbeKind::Absent, 0, {}};
}
CandidateResult candidate(std::string path, CandidateKind kind, std::string top = "") {
  return {std::move(path), kind, std::move(top), {}};
}

// The probes of a deleted /home/u/r below an existing home.
std::vector<ProbeResult> home_probes() {
  return {dir("/"),
          dir("/home"),
          dir("/home/u"),
          absent("/home/u/r"),
          absent("/home/u-r"),
          absent("/home-u"),
          absent("/home-u-r")};
}

AncestorFacts on(std::string path, std::string mount_point, std::string type = "ext4") {
  return {std::move(path), std::move(mount_point), std::move(type), false, false, false, false, {}};
}
// The nearest existing ancestors of home_probes(): the home on the home's volume, and /.
std::vector<AncestorFacts> home_ancestors() {
  AncestorFacts home = on("/home/u", "/home");
  home.home_mount = true;
  return {on("/", "/"), home};
}
// What the search found by looking at the file system, and what git said of the spellings it tried.
OwnerEvidence probed(std::string marker, std::vector<ProbeResult> probes,
                     std::vector<AncestorFacts> ancestors) {
  return {std::move(marker), std::move(probes), {}, std::move(ancestors), false, {}, {}};
}
OwnerEvidence asked(std::string marker, std::vector<CandidateResult> candidates,
                    bool bounded = false) {
  return {std::move(marker), {}, std::move(candidates), {}, bounded, {}, {}};
}
OwnerEvidence deleted(std::vector<AncestorFacts> ancestors) {
  return probed("-home-u-r", home_probes(), std::move(ancestors));
}
// /home/u/r is there; git's answer about it was `kind`.
OwnerEvidence asked_home(CandidateKind kind) {
  OwnerEvidence e = asked("-home-u-r", {candidate("/home/u/r", kind)});
  e.probes = home_probes();
  return e;
}

}  // namespace

TEST(JudgeOwner, GoneOnlyWhenAbsenceIsCertain) {
  struct Row {
    const char* what;
    OwnerEvidence evidence;
    OwnerState state;
    std::string reason;
  };
  const std::error_code denied{EACCES, std::system_category()};
  std::vector<ProbeResult> denied_probes = home_probes();
  denied_probes[3] = {"/home/u/r", ProbeKind::Failed, 0, denied};
  std::vector<ProbeResult> dangling_probes = home_probes();
  dangling_probes[3].kind = ProbeKind::Dangling;
  AncestorFacts home_is_mount = on("/home/u", "/home/u");
  home_is_mount.home_mount = true;
  AncestorFacts fixed = on("/data", "/data");
  fixed.fixed_disk = true;
  AncestorFacts empty = on("/home/u/mnt/nas", "/home");
  empty.empty = true;
  AncestorFacts unmounted = on("/data", "/");
  unmounted.unmounted = true;
  AncestorFacts unlistable = on("/home/u", "/home");
  unlistable.error = denied;
  std::vector<ProbeResult> nas_probes = {
      dir("/"),           dir("/home"),           dir("/home/u"),
      dir("/home/u/mnt"), dir("/home/u/mnt/nas"), absent("/home/u/mnt/nas/r")};
  const auto nas = [&](AncestorFacts where) {
    return probed("-home-u-mnt-nas-r", nas_probes, {on("/", "/"), std::move(where)});
  };
  const std::vector<ProbeResult> data_probes = {dir("/"), dir("/data"), absent("/data/r"),
                                                absent("/data-r")};
  const auto data = [&](AncestorFacts where) {
    return probed("-data-r", data_probes, {on("/", "/"), std::move(where)});
  };
  // Last seen on a volume mounted at ~/Vaults/work, outside the fstab
  const std::string work = "/home/u/Vaults/work";
  const auto seen = [&](bool point_there, AncestorFacts where, std::optional<MountEntry> now) {
    OwnerEvidence e = probed("-home-u-Vaults-work-r",
                             {dir("/"), dir("/home"), dir("/home/u"),
                              point_there ? dir(work) : absent(work), absent(work + "/r")},
                             {on("/", "/"), std::move(where)});
    e.remembered = {work, "/dev/sdb1", "/"};
    e.mounted = std::move(now);
    return e;
  };
  const auto now_at_work = [&](std::string source, std::string root, AncestorFacts where) {
    return seen(true, std::move(where),
                MountEntry{work, "ext4", std::move(source), 9, std::move(root)});
  };
  AncestorFacts vaults = on("/home/u/Vaults", "/home"), sentinel = on(work, "/home");
  AncestorFacts fixed_work = on(work, work);
  vaults.home_mount = sentinel.home_mount = fixed_work.fixed_disk = true;
  const Row rows[] = {
      {"deleted in the home", deleted(home_ancestors()), OwnerState::Gone, ""},
      {"deleted in a home that is itself a mount point", deleted({on("/", "/"), home_is_mount}),
       OwnerState::Gone, ""},
      {"deleted on the root's volume", data(on("/data", "/")), OwnerState::Gone, ""},
      {"deleted in a memory file system", data(on("/data", "/data", "tmpfs")), OwnerState::Gone,
       ""},
      {"deleted on a fixed disk of the fstab", data(fixed), OwnerState::Gone, ""},
      {"on a disk mounted from elsewhere than the fstab says", data(on("/data", "/data")),
       OwnerState::Unreachable, "not found below /data, on a volume that may be away"},
      {"on a network share", nas(on("/home/u/mnt/nas", "/home/u/mnt/nas", "fuse.sshfs")),
       OwnerState::Unreachable, "not found below /home/u/mnt/nas, on a volume that may be away"},
      {"an unmounted share leaves an empty mount point", nas(empty), OwnerState::Unreachable,
       "not found below /home/u/mnt/nas, an empty directory, as an unmounted volume's mount point "
       "is"},
      {"a mount point of the fstab with nothing mounted", data(unmounted), OwnerState::Unreachable,
       "not found below /data: the fstab names a mount point there, not mounted now"},
      {"no mount found", data(on("/data", "")), OwnerState::Unreachable,
       "not found below /data, on a volume that may be away"},
      {"an ancestor that cannot be listed", deleted({on("/", "/"), unlistable}),
       OwnerState::Unreachable, "cannot look at /home/u: Permission denied (os error 13)"},
      {"the first spelling holds no repository, the second is it",
       asked("-x-a-b", {candidate("/x/a/b", CandidateKind::NoGit),
                        candidate("/x/a-b", CandidateKind::Confirmed, "/x/a-b")}),
       OwnerState::Found, ""},
      {"a directory without .git is there", asked_home(CandidateKind::NoGit),
       OwnerState::Unreachable, "/home/u/r is there, but is not this marker's repository"},
      {"reached through a link: git puts it elsewhere",
       asked("-tmp-r", {candidate("/tmp/r", CandidateKind::Elsewhere, "/private/tmp/r")}),
       OwnerState::Unreachable, "/tmp/r is there, but is not this marker's repository"},
      {"git says nothing", asked_home(CandidateKind::GitSilent), OwnerState::Unreachable,
       "git names no top level for /home/u/r"},
      {"a planted FIFO in .git", asked_home(CandidateKind::GitOdd), OwnerState::Unreachable,
       "/home/u/r/.git holds an entry git reads first that is not a regular file"},
      {"more spellings than the search tries",
       asked("-home-u-r", {candidate("/home/u/r", CandidateKind::NoGit)}, true),
       OwnerState::Unreachable,
       "the name spells more than 16 directories, more than the search tries"},
      {"permission denied", probed("-home-u-r", denied_probes, home_ancestors()),
       OwnerState::Unreachable, "cannot look at /home/u/r: Permission denied (os error 13)"},
      {"a link to nothing", probed("-home-u-r", dangling_probes, home_ancestors()),
       OwnerState::Unreachable,
       "/home/u/r is a symbolic link to nothing (its target may be on a volume that is away)"},
      {"another machine's first directory",
       probed("-Users-dev-r",
              {dir("/"), absent("/Users"), absent("/Users-dev"), absent("/Users-dev-r")},
              {on("/", "/")}),
       OwnerState::Unreachable, "/Users is missing or not mounted"},
      {"an unplugged disk",
       probed("-Volumes-Disk-r",
              {dir("/"), dir("/Volumes"), absent("/Volumes/Disk"), absent("/Volumes/Disk-r"),
               absent("/Volumes-Disk"), absent("/Volumes-Disk-r")},
              {on("/", "/"), on("/Volumes", "/")}),
       OwnerState::Unreachable, "/Volumes is missing or not mounted"},
      {"an unmounted disk leaves its mount point below /mnt",
       probed("-mnt-nas-r", {dir("/"), dir("/mnt"), dir("/mnt/nas"), absent("/mnt/nas/r")},
              {on("/mnt/nas", "/")}),
       OwnerState::Unreachable, "/mnt/nas is missing or not mounted"},
      {"a removable disk is mounted where another one was",
       probed("-mnt-nas-r", {dir("/"), dir("/mnt"), dir("/mnt/nas", 7), absent("/mnt/nas/r")},
              {on("/mnt/nas", "/mnt/nas", "vfat")}),
       OwnerState::Unreachable, "not found below /mnt/nas, on a volume that may be away"},
      {"a stick below /media/USER that is away, its user directory on the root's volume",
       probed("-media-u-Stick-r",
              {dir("/"), dir("/media"), dir("/media/u"), absent("/media/u/Stick"),
               absent("/media/u/Stick-r")},
              {on("/media/u", "/")}),
       OwnerState::Unreachable, "/media is missing or not mounted"},
      {"removable media not mounted since boot",
       probed("-run-media-u-Disk-r",
              {dir("/"), dir("/run"), absent("/run/media"), absent("/run/media-u")},
              {on("/run", "/run", "tmpfs")}),
       OwnerState::Unreachable, "/run/media is missing or not mounted"},
      {"a disk that is away below /run/media/USER, a memory file system",
       probed("-run-media-u-Disk-r",
              {dir("/"), dir("/run"), dir("/run/media"), dir("/run/media/u"),
               absent("/run/media/u/Disk"), absent("/run/media/u/Disk-r")},
              {on("/run/media/u", "/run", "tmpfs")}),
       OwnerState::Unreachable, "/run/media is missing or not mounted"},
      {"seen on a volume that is away, its mount point removed at unmount",
       seen(false, vaults, std::nullopt), OwnerState::Unreachable,
       "not found below " + work +
           ", a mount point when it was last seen, with nothing mounted there now"},
      {"seen on a volume that is away, a file in its mount point", seen(true, sentinel, {}),
       OwnerState::Unreachable,
       "not found below " + work +
           ", a mount point when it was last seen, with nothing mounted there now"},
      {"seen on another volume than the memory file system there now",
       now_at_work("none", "/", on(work, work, "tmpfs")), OwnerState::Unreachable,
       "not found below " + work + ", which holds another volume now than when it was last seen"},
      {"seen on another directory of the disk bound there now",
       now_at_work("/dev/sdb1", "/a", fixed_work), OwnerState::Unreachable,
       "not found below " + work + ", which holds another volume now than when it was last seen"},
      {"seen on the volume there now, the repository deleted",
       now_at_work("/dev/sdb1", "/", fixed_work), OwnerState::Gone, ""},
      {"not a path", probed("notes.txt", {}, {}), OwnerState::Unreachable,
       "the name does not spell an absolute path"},
      {"bytes that were not UTF-8",
       probed("-home-u-caf\xEF\xBF\xBD", home_probes(), home_ancestors()), OwnerState::Unreachable,
       "the name holds U+FFFD, which may stand for bytes of the path that were not UTF-8"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const MarkerOwner owner = judge_owner(row.evidence);
    EXPECT_EQ(owner.marker, row.evidence.marker);
    EXPECT_EQ(owner.state, row.state);
    EXPECT_EQ(owner.reason, row.reason);
    EXPECT_EQ(owner.root.has_value(), row.state == OwnerState::Found);
  }
  EXPECT_EQ(judge_owner(rows[11].evidence).root, std::filesystem::path("/x/a-b"));
}
