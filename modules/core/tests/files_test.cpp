#include "files.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

TEST(WithExec, AddsAnExecuteBitOnlyBesideAReadBit) {
  const std::pair<mode_t, mode_t> cases[] = {
      {0600, 0700}, {0644, 0755}, {0700, 0700},   {0640, 0750},
      {0604, 0705}, {0200, 0200},  // nothing to read, nothing to run
      {0622, 0722}, {0775, 0775}, {04644, 04755}, {0000, 0000},
  };
  for (const auto& [mode, want] : cases) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(pylon::with_exec(mode), want);
  }
}

// me is 0 (root) unless a row says otherwise; the repository's users are 1000 and 1001, group 50.
TEST(JudgeConfigWriter, RefusesOnlyWhenAWriterCouldNotWriteThereThemselves) {
  using W = pylon::ConfigWriter;
  struct Row {
    const char* layout;
    pylon::ConfigEvidence e;
    std::optional<W> want;
  };
  auto ev = [](uid_t owner, mode_t mode, uid_t me, uid_t place_owner, gid_t place_group,
               mode_t place_mode) {
    pylon::ConfigEvidence e;
    e.owner = owner;
    e.group = 50;
    e.mode = mode;
    e.me = me;
    e.place_owner = place_owner;
    e.place_group = place_group;
    e.place_mode = place_mode;
    return e;
  };
  auto taken = [](pylon::ConfigEvidence e, uid_t entry_owner) {
    e.entry_exists = true;
    e.entry_owner = entry_owner;
    return e;
  };
  const Row rows[] = {
      {"my own file, mine alone", ev(1000, 0644, 1000, 0, 0, 0755), std::nullopt},
      {"root's own file, root's dir", ev(0, 0644, 0, 0, 0, 0700), std::nullopt},
      {"a member's file names root's dir", ev(1000, 0644, 0, 0, 0, 0700), W::Owner},
      {"a member's file names their own dir", ev(1000, 0644, 0, 1000, 1000, 0755), std::nullopt},
      {"owner's dir without write for them", ev(1000, 0644, 0, 1000, 1000, 0555), W::Owner},
      {"the file's group may write the dir", ev(1000, 0644, 0, 0, 50, 0775), std::nullopt},
      {"another group may write the dir", ev(1000, 0644, 0, 0, 51, 0775), W::Owner},
      {"root's file someone else runs with", ev(0, 0644, 1000, 0, 0, 0700), std::nullopt},
      {"group-writable file, root's dir", ev(0, 0664, 0, 0, 0, 0755), W::Group},
      {"group-writable file, shared hooks", ev(0, 0664, 0, 0, 50, 02775), std::nullopt},
      {"group-writable, the dir another group's", ev(0, 0664, 0, 0, 51, 02775), W::Group},
      {"group-writable file, dir without search", ev(0, 0664, 0, 0, 50, 0765), W::Group},
      {"world-writable file, root's dir", ev(0, 0666, 0, 0, 0, 0755), W::Everyone},
      {"world-writable file and dir", ev(0, 0666, 0, 0, 0, 0777), std::nullopt},
      {"world-writable, sticky dir, the hook root's", taken(ev(0, 0666, 0, 0, 0, 01777), 0),
       W::Everyone},
      {"sticky dir, no hook yet", ev(0, 0666, 0, 0, 0, 01777), std::nullopt},
      {"sticky dir, the owner's own hook", taken(ev(1000, 0644, 0, 0, 0, 01777), 1000),
       std::nullopt},
      {"sticky dir, another's hook", taken(ev(1000, 0644, 0, 0, 0, 01777), 1001), W::Owner},
      {"sticky dir of the owner's own", taken(ev(1000, 0644, 0, 1000, 1000, 01755), 0),
       std::nullopt},
      {"group-writable, sticky shared dir, a hook", taken(ev(0, 0664, 0, 0, 50, 03775), 1000),
       W::Group},
      {"my file, group-writable, my dir", ev(1000, 0664, 1000, 1000, 1000, 0755), W::Group},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.layout);
    EXPECT_EQ(pylon::judge_config_writer(row.e), row.want);
  }
}

}  // namespace
