#include "gitactivity/journal.hpp"

#include "temp_dir.hpp"

#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

namespace {

using namespace gitactivity;
using pylon::testing::TempDir;

}  // namespace

TEST(StateDirFrom, AnAbsoluteXdgStateHomeElseTheHomesLocalState) {
  EXPECT_EQ(state_dir_from("/s", "/home/u"), std::filesystem::path("/s/pylon-host"));
  EXPECT_EQ(state_dir_from("rel", "/home/u"),
            std::filesystem::path("/home/u/.local/state/pylon-host"));
  EXPECT_EQ(state_dir_from(std::nullopt, "/home/u"),
            std::filesystem::path("/home/u/.local/state/pylon-host"));
}

TEST(EscapeBytes, ReadsBackEveryByteAndRefusesOtherText) {
  std::string all;
  for (int b = 0; b < 256; ++b) {
    all += static_cast<char>(b);
  }
  const std::string escaped = escape_bytes(all);
  for (const char c : escaped) {
    EXPECT_TRUE(c >= 0x20 && c < 0x7F && c != '\'');
  }
  EXPECT_EQ(unescape_bytes(escaped), all);
  EXPECT_EQ(escape_bytes("-a\\b'\n"), "-a\\x5cb\\x27\\x0a");
  for (const char* bad : {"\\", "\\x4", "\\y41", "\\xzz"}) {
    EXPECT_EQ(unescape_bytes(bad), std::nullopt) << bad;
  }
}

TEST(ParseJournal, SkipsTornAndForeignLinesAndKeepsTheLastRuns) {
  std::string text;
  for (std::uint64_t run = 1; run <= 3; ++run) {
    text += journal_text({run, "-r\xE9" + std::to_string(run), 1600000000, 5});
    if (run == 2) {  // what is not ours is passed over, not the end of the journal
      text += "not json\n{\"run\":4,\"name\":7,\"mtime\":1,\"mtime_nsec\":0}\n";
      text += "{\"run\":4,\"name\":\"-x\",\"mtime\":\"1\",\"mtime_nsec\":0}\n";
      text += "{\"run\":4,\"name\":\"\",\"mtime\":1,\"mtime_nsec\":0}\n";  // no marker has no name
    }
  }
  text += journal_text({9, "-torn", 1, 0}).substr(0, 20);  // no newline: a crash mid-write
  const std::vector<JournalLine> lines = parse_journal(text);
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(lines[0], (JournalLine{1,
                                   "-r\xE9"
                                   "1",
                                   1600000000, 5}));
  const std::vector<JournalLine> last = last_runs(lines, 2);
  ASSERT_EQ(last.size(), 2U);
  EXPECT_EQ(last[0].run, 2U);
  EXPECT_EQ(last_runs(lines, 1), std::vector<JournalLine>{lines[2]});
}

TEST(PruneJournal, RoundTripRestoresTheLastRunWithItsTimesAndKeepsTwentyRuns) {
  const TempDir tmp;
  const std::filesystem::path file = tmp / "state" / "prune.jsonl";
  for (int run = 0; run < 22; ++run) {
    auto journal = PruneJournal::open(file);
    ASSERT_TRUE(journal.ok()) << journal.error().message();
    ASSERT_TRUE(journal.value().append("-r" + std::to_string(run), 1600000000 + run, 7).ok());
    ASSERT_TRUE(journal.value().trim().ok());
  }
  {
    auto journal = PruneJournal::open(file);
    ASSERT_TRUE(journal.ok());
    ASSERT_TRUE(journal.value().append("-a", 1500000000, 0).ok());
    ASSERT_TRUE(journal.value().append("-b\n", 1500000001, 250).ok());
    ASSERT_TRUE(journal.value().trim().ok());
  }
  auto journal = PruneJournal::open(file);
  ASSERT_TRUE(journal.ok());
  const std::vector<JournalLine>& lines = journal.value().lines();
  EXPECT_EQ(last_runs(lines, journal_runs).size(), lines.size());
  EXPECT_EQ(lines.front().name, "-r3");  // 23 runs: the first three are dropped
  const std::vector<JournalLine> run = last_runs(lines, 1);
  ASSERT_EQ(run.size(), 2U);

  const std::filesystem::path markers = tmp / "markers";
  std::filesystem::create_directory(markers);
  std::ofstream{markers / "-a"};  // came back meanwhile
  auto dry = restore_markers(markers, run, true);
  ASSERT_TRUE(dry.ok());
  EXPECT_EQ(dry.value().restored.size(), 1U);
  EXPECT_FALSE(std::filesystem::exists(markers / "-b\n"));
  auto restored = restore_markers(markers, run, false);
  ASSERT_TRUE(restored.ok());
  EXPECT_EQ(restored.value().skipped, std::vector<std::string>{"-a"});
  ASSERT_EQ(restored.value().restored.size(), 1U);
  struct stat st {};
  ASSERT_EQ(::stat((markers / "-b\n").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1500000001);
#ifndef __APPLE__
  EXPECT_EQ(st.st_mtim.tv_nsec, 250);
#endif
  EXPECT_EQ(st.st_size, 0);
  // a marker directory removed meanwhile is made again
  ASSERT_TRUE(restore_markers(tmp / "new" / "markers", run, false).ok());
  EXPECT_TRUE(std::filesystem::exists(tmp / "new" / "markers" / "-a"));
}
