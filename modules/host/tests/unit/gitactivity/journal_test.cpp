#include "gitactivity/journal.hpp"

#include "temp_dir.hpp"

#include <sys/file.h>
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

namespace {

using namespace gitactivity;
using pylon::testing::TempDir;
namespace fs = std::filesystem;

auto soon() {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
}

void write(const fs::path& file, const std::string& text) {
  std::ofstream(file) << text;
}

}  // namespace

TEST(StateDirFrom, AnAbsoluteXdgStateHomeElseTheHomesLocalState) {
  EXPECT_EQ(state_dir_from("/s", "/home/u"), fs::path("/s/pylon-host"));
  EXPECT_EQ(state_dir_from("rel", "/home/u"), fs::path("/home/u/.local/state/pylon-host"));
  EXPECT_EQ(state_dir_from(std::nullopt, "/home/u"), fs::path("/home/u/.local/state/pylon-host"));
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

TEST(ParseJournalLine, ChecksEveryMemberOfAHostileLine) {
  const auto line = [](std::string run, std::string name, std::string sec, std::string nsec) {
    return R"({"run":)" + run + R"(,"name":)" + name + R"(,"mtime":)" + sec + R"(,"mtime_nsec":)" +
           nsec + "}";
  };
  const std::pair<std::string, std::string> cases[] = {
      // the line, and what is wrong ("" none)
      {line("9007199254740991", R"("-a\\x0ab")", "253402300799", "999999999"), ""},
      {line("1", R"("..\\x2fetc\\x2fnologin")", "1", "0"),
       "not a single file name: '../etc/nologin'"},
      {line("1", R"("../etc/nologin")", "1", "0"), "not a single file name"},
      {line("1", R"("..")", "1", "0"), "not a single file name"},
      {line("1", R"(".")", "1", "0"), "not a single file name"},
      {line("1", R"("")", "1", "0"), "not a single file name"},
      {line("1", R"("a\\x00b")", "1", "0"), "not a single file name"},
      {line("1", R"("a\\q")", "1", "0"), "no \\xHH escape"},
      {line("1", "7", "1", "0"), "\"name\" is not text"},
      {line("0", R"("-a")", "1", "0"), "\"run\""},
      {line("9007199254740992", R"("-a")", "1", "0"), "\"run\""},  // 2^53
      {line("18446744073709551615", R"("-a")", "1", "0"), "\"run\""},
      {line("-1", R"("-a")", "1", "0"), "\"run\""},
      {line("1.5", R"("-a")", "1", "0"), "\"run\""},
      {line("\"1\"", R"("-a")", "1", "0"), "\"run\""},
      {line("1", R"("-a")", "-1", "0"), "\"mtime\""},
      {line("1", R"("-a")", "253402300800", "0"), "\"mtime\""},  // year 10000
      {line("1", R"("-a")", "\"1\"", "0"), "\"mtime\""},
      {line("1", R"("-a")", "1", "-1"), "\"mtime_nsec\""},
      {line("1", R"("-a")", "1", "1000000000"), "\"mtime_nsec\""},
      {R"({"run":1,"run":2,"name":"-a","mtime":1,"mtime_nsec":0})", "not JSON"},
      {R"({"run":1,"mtime":1,"mtime_nsec":0})", "\"name\" is not text"},
      {"[1]", "not a JSON object"},
      {"not json", "not JSON"},
  };
  for (const auto& [text, wrong] : cases) {
    SCOPED_TRACE(text);
    const auto parsed = parse_journal_line(text);
    EXPECT_EQ(parsed.ok(), wrong.empty());
    if (!parsed.ok()) {
      EXPECT_NE(parsed.error().find(wrong), std::string::npos) << parsed.error();
    }
  }
}

TEST(ParseJournal, PassesOverAndNamesLongForeignAndTornLines) {
  const std::string good = journal_text({1, "-r\xE9", 1600000000, 5});
  const std::string text = good + std::string(5000, 'x') + "\n" + "{}\n" + good + good.substr(0, 9);
  const JournalRead read = parse_journal(text);
  EXPECT_EQ(read.lines, (std::vector<JournalLine>{{1, "-r\xE9", 1600000000, 5}, read.lines[0]}));
  ASSERT_EQ(read.passed_over.size(), 3U);
  EXPECT_EQ(read.passed_over[0], (PassedOver{2, "longer than 4096 bytes"}));
  EXPECT_EQ(read.passed_over[1].line, 3U);
  EXPECT_EQ(read.passed_over[2].line, 5U);
  EXPECT_NE(read.passed_over[2].why.find("no newline"), std::string::npos);
  EXPECT_EQ(read.complete, text.size() - 9);
}

TEST(JournalFile, OneJournalPerDirectoryHoweverSpeltAndNoTwoShareOne) {
  const TempDir tmp;
  fs::create_directories(tmp / "a-b" / "m");
  fs::create_directories(tmp / "a" / "b-m");
  fs::create_directory_symlink(tmp / "a-b" / "m", tmp / "link");
  const fs::path want = journal_file("/s", tmp / "a-b" / "m");
  for (const fs::path& spelt : {tmp / "a-b" / "m/", tmp / "link", tmp / "a" / ".." / "a-b" / "m"}) {
    EXPECT_EQ(journal_file("/s", spelt), want) << spelt;
  }
  EXPECT_NE(journal_file("/s", tmp / "a" / "b-m"), want);
  EXPECT_EQ(journal_key("/x/a-b%"), "-x-a%2db%25");
  const std::string deep(300, 'd');
  const std::string key = journal_key("/" + deep);
  EXPECT_LE(("journal" + key + ".jsonl").size(), 255U);
  EXPECT_NE(key, journal_key("/" + deep + "e"));
}

TEST(Trimmed, KeepsTheNewestRunWhateverItsSizeThenOlderOnesWhileTheyFit) {
  std::vector<JournalLine> lines;
  for (std::uint64_t run = 1; run <= 5; ++run) {
    lines.push_back({run, "-r" + std::string(run == 5 ? 200 : 10, 'x'), 1, 0});
  }
  const auto runs_of = [](const std::vector<JournalLine>& kept) {
    std::vector<std::uint64_t> runs;
    for (const JournalLine& line : kept) {
      runs.push_back(line.run);
    }
    return runs;
  };
  EXPECT_EQ(runs_of(trimmed(lines, 3, 1 << 20)), (std::vector<std::uint64_t>{3, 4, 5}));
  EXPECT_EQ(runs_of(trimmed(lines, 20, 10)), std::vector<std::uint64_t>{5});
  EXPECT_EQ(runs_of(trimmed(lines, 20, 350)), (std::vector<std::uint64_t>{4, 5}));
}

TEST(PruneJournal, RoundTripsAHundredThousandMarkers) {
  const TempDir tmp;
  const fs::path file = tmp / "state" / "journal-m.jsonl";
  {
    auto journal = PruneJournal::open(file, {}, soon());
    ASSERT_TRUE(journal.ok()) << journal.error().error.message();
    ASSERT_TRUE(journal.value().append(std::vector<Removed>{{"-old", 1, 0}}).ok());
  }
  std::vector<Removed> batch;
  for (int i = 0; i < 100000; ++i) {
    batch.push_back({"-home-u-src-project-" + std::to_string(i), 1600000000 + i, i});
  }
  {
    auto journal = PruneJournal::open(file, {}, soon());
    ASSERT_TRUE(journal.ok());
    ASSERT_TRUE(journal.value().append(batch).ok());  // one sync: the disk may be slow
    ASSERT_TRUE(journal.value().trim().ok());
  }
  auto journal = PruneJournal::open(file, {}, soon());
  ASSERT_TRUE(journal.ok());
  EXPECT_GT(fs::file_size(file), std::uintmax_t{1} << 20);
  const std::vector<JournalLine> run = last_runs(journal.value().lines(), 1);
  ASSERT_EQ(run.size(), batch.size());
  EXPECT_EQ(run.back(), (JournalLine{2, batch.back().name, 1600099999, 99999}));
  EXPECT_TRUE(journal.value().passed_over().empty());
}

TEST(PruneJournal, ATornLineOrARunAtTheLimitHidesNoLaterRun) {
  const TempDir tmp;
  const fs::path file = tmp / "state" / "journal-m.jsonl";
  const std::string last = journal_text({journal_run_limit - 1, "-last", 1, 0});
  for (const std::string& before : {last + last.substr(0, 12), std::string("{\"run\":1,\"na")}) {
    fs::create_directories(file.parent_path());
    write(file, before);
    {
      auto journal = PruneJournal::open(file, {}, soon());
      ASSERT_TRUE(journal.ok());
      ASSERT_TRUE(journal.value().append(std::vector<Removed>{{"-next", 2, 3}}).ok());
    }
    auto journal = PruneJournal::open(file, {}, soon());
    ASSERT_TRUE(journal.ok());
    EXPECT_TRUE(journal.value().passed_over().empty());
    EXPECT_EQ(last_runs(journal.value().lines(), 1),
              std::vector<JournalLine>{journal.value().lines().back()});
    EXPECT_EQ(journal.value().lines().back().name, "-next");
    EXPECT_LT(journal.value().lines().back().run, journal_run_limit);
    fs::remove(file);
  }
}

TEST(PruneJournal, TheLockIsTakenWithinTheDeadlineOrNamed) {
  const TempDir tmp;
  const fs::path file = tmp / "state" / "journal-m.jsonl";
  auto holder = PruneJournal::open(file, {}, soon());
  ASSERT_TRUE(holder.ok());
  auto waiter = PruneJournal::open(file, {}, soon());
  ASSERT_FALSE(waiter.ok());
  EXPECT_EQ(waiter.error().problem, JournalProblem::Locked);
  EXPECT_EQ(waiter.error().where, tmp / "state" / "journal-m.lock");
}

TEST(PruneJournal, RefusesWhatAnotherUserMayChange) {
  const TempDir tmp;
  const fs::path file = tmp / "state" / "journal-m.jsonl";
  ASSERT_TRUE(PruneJournal::open(file, {}, soon()).ok());
  write(file, journal_text({1, "-a", 1, 0}));
  // the journal, the state directory, and a directory above it that anyone may rename things in
  const std::pair<fs::path, mode_t> cases[] = {
      {file, 0622}, {file.parent_path(), 0777}, {tmp.path(), 0777}};
  for (const auto& [path, mode] : cases) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    auto journal = PruneJournal::open(file, {}, soon());
    ASSERT_FALSE(journal.ok()) << path;
    EXPECT_EQ(journal.error().problem, JournalProblem::OtherUser);
    EXPECT_EQ(journal.error().where, path);
    EXPECT_FALSE(peek_journal(file, {}).ok());
    ASSERT_EQ(::chmod(path.c_str(), mode & 0755), 0);
  }
  if (::geteuid() == 0) {  // root too: sudo -E leaves it a user's state directory
    ASSERT_EQ(::chown(file.parent_path().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(PruneJournal::open(file, {}, soon()).ok());
  }
}

TEST(PruneJournal, CarriesALegacyJournalOverOnce) {
  const TempDir tmp;
  const fs::path state = tmp / "state";
  fs::create_directories(state);
  const std::vector<fs::path> legacy = legacy_journal_files(state, tmp / "m/");
  ASSERT_FALSE(legacy.empty());
  write(legacy.front(), journal_text({3, "-a", 1, 0}));
  ::chmod(legacy.front().c_str(), 0600);
  const fs::path file = journal_file(state, tmp / "m");
  EXPECT_EQ(peek_journal(file, legacy).value().lines.size(), 1U);
  auto journal = PruneJournal::open(file, legacy, soon());
  ASSERT_TRUE(journal.ok());
  EXPECT_EQ(journal.value().lines(), (std::vector<JournalLine>{{3, "-a", 1, 0}}));
  EXPECT_FALSE(fs::exists(legacy.front()));  // read once, never again
}

TEST(RestoreMarkers, MakesOnlyMissingSingleNamesWithTheirTimes) {
  const TempDir tmp;
  const fs::path markers = tmp / "new" / "markers";
  const std::vector<JournalLine> run = {
      {1, "-a", 1500000000, 0}, {1, "-b\n", 1500000001, 250}, {1, "../escaped", 1, 0}};
  auto dry = restore_markers(markers, run, true);
  ASSERT_TRUE(dry.ok());
  EXPECT_EQ(dry.value().restored.size(), 2U);
  EXPECT_FALSE(fs::exists(markers));
  fs::create_directories(markers);
  std::ofstream{markers / "-a"};  // came back meanwhile
  auto restored = restore_markers(markers, run, false);
  ASSERT_TRUE(restored.ok());
  EXPECT_EQ(restored.value().skipped, std::vector<std::string>{"-a"});
  EXPECT_EQ(restored.value().refused, std::vector<std::string>{"../escaped"});
  EXPECT_FALSE(fs::exists(tmp / "new" / "escaped"));
  ASSERT_EQ(restored.value().restored.size(), 1U);
  struct stat st {};
  ASSERT_EQ(::stat((markers / "-b\n").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1500000001);
#ifndef __APPLE__
  EXPECT_EQ(st.st_mtim.tv_nsec, 250);
#endif
}
