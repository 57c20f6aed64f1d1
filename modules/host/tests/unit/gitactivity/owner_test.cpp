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

}  // namespace

TEST(JudgeOwner, GoneOnlyWhenEverythingIsPlainlyAbsentOnAVolumeThatIsThere) {
  struct Row {
    const char* what;
    OwnerEvidence evidence;
    OwnerState state;
    Doubt doubt;
    std::string where;
  };
  const std::error_code denied{EACCES, std::system_category()};
  std::vector<ProbeResult> denied_probes = home_probes();
  denied_probes[3] = {"/home/u/r", ProbeKind::Failed, 0, denied};
  std::vector<ProbeResult> dangling_probes = home_probes();
  dangling_probes[3].kind = ProbeKind::Dangling;
  const Row rows[] = {
      {"deleted", {"-home-u-r", home_probes(), {}}, OwnerState::Gone, Doubt::None, ""},
      {"the first spelling holds no repository, the second is it",
       {"-x-a-b",
        {},
        {candidate("/x/a/b", CandidateKind::NoGit),
         candidate("/x/a-b", CandidateKind::Confirmed, "/x/a-b")}},
       OwnerState::Found,
       Doubt::None,
       ""},
      {"a directory without .git is there",
       {"-home-u-r", home_probes(), {candidate("/home/u/r", CandidateKind::NoGit)}},
       OwnerState::Unreachable,
       Doubt::NotItsRepository,
       "/home/u/r"},
      {"reached through a link: git puts it elsewhere",
       {"-tmp-r", {}, {candidate("/tmp/r", CandidateKind::Elsewhere, "/private/tmp/r")}},
       OwnerState::Unreachable,
       Doubt::NotItsRepository,
       "/tmp/r"},
      {"git says nothing",
       {"-home-u-r", home_probes(), {candidate("/home/u/r", CandidateKind::GitSilent)}},
       OwnerState::Unreachable,
       Doubt::GitSilent,
       "/home/u/r"},
      {"permission denied",
       {"-home-u-r", denied_probes, {}},
       OwnerState::Unreachable,
       Doubt::ProbeFailed,
       "/home/u/r"},
      {"a link to nothing",
       {"-home-u-r", dangling_probes, {}},
       OwnerState::Unreachable,
       Doubt::LinkDangles,
       "/home/u/r"},
      {"another machine's first directory",
       {"-Users-dev-r",
        {dir("/"), absent("/Users"), absent("/Users-dev"), absent("/Users-dev-r")},
        {}},
       OwnerState::Unreachable,
       Doubt::VolumeAway,
       "/Users"},
      {"an unplugged disk",
       {"-Volumes-Disk-r",
        {dir("/"), dir("/Volumes"), absent("/Volumes/Disk"), absent("/Volumes/Disk-r"),
         absent("/Volumes-Disk"), absent("/Volumes-Disk-r")},
        {}},
       OwnerState::Unreachable,
       Doubt::VolumeAway,
       "/Volumes"},
      {"an unmounted share leaves its empty mount point",
       {"-mnt-nas-r", {dir("/"), dir("/mnt"), dir("/mnt/nas"), absent("/mnt/nas/r")}, {}},
       OwnerState::Unreachable,
       Doubt::VolumeAway,
       "/mnt/nas"},
      {"deleted on a mounted share",
       {"-mnt-nas-r", {dir("/"), dir("/mnt"), dir("/mnt/nas", 7), absent("/mnt/nas/r")}, {}},
       OwnerState::Gone,
       Doubt::None,
       ""},
      {"removable media not mounted since boot",
       {"-run-media-u-Disk-r",
        {dir("/"), dir("/run"), absent("/run/media"), absent("/run/media-u")},
        {}},
       OwnerState::Unreachable,
       Doubt::VolumeAway,
       "/run/media"},
      {"not a path", {"notes.txt", {}, {}}, OwnerState::Unreachable, Doubt::NotAPath, "notes.txt"},
      {"bytes that were not UTF-8",
       {"-home-u-caf\xEF\xBF\xBD", home_probes(), {}},
       OwnerState::Unreachable,
       Doubt::NameLossy,
       "-home-u-caf\xEF\xBF\xBD"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const MarkerOwner owner = judge_owner(row.evidence);
    EXPECT_EQ(owner.marker, row.evidence.marker);
    EXPECT_EQ(owner.state, row.state);
    EXPECT_EQ(owner.doubt, row.doubt);
    EXPECT_EQ(owner.where, row.where);
    EXPECT_EQ(owner.root.has_value(), row.state == OwnerState::Found);
  }
  EXPECT_EQ(judge_owner(rows[1].evidence).root, std::filesystem::path("/x/a-b"));
}
