#include "cli/git_activity.hpp"

#include "gitactivity/status.hpp"
#include "temp_dir.hpp"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

TEST(AgeText, UnitsSwitchAtOneAndAHalfMinutesAndHoursAndTwoDays) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {-100, "0s ago"},    {0, "0s ago"},      {89, "89s ago"},
      {90, "1m ago"},      {5399, "89m ago"},  {5400, "1h ago"},
      {172799, "47h ago"}, {172800, "2d ago"}, {86400LL * 40000, "40000d ago"},
  };
  for (const auto& [age, want] : cases) {
    SCOPED_TRACE(age);
    EXPECT_EQ(cli::age_text(age), want);
  }
}

TEST(ListLine, RightAlignsTheAgeInNineColumnsWithoutCutting) {
  EXPECT_EQ(cli::list_line(90, "/srv/app"), "   1m ago  /srv/app\n");
  EXPECT_EQ(cli::list_line(86400LL * 40000, "x"), "40000d ago  x\n");
}

TEST(ParseAt, SignedWholeSecondsOrNothing) {
  const std::pair<host::Args, std::optional<std::int64_t>> cases[] = {
      {{"record", "--at", "1700000000"}, 1700000000},
      {{"record", "--at=1700000000"}, 1700000000},
      {{"--at", " -86400 "}, -86400},
      {{"--at", "+5", "--at", "6"}, 5},
      {{"--at", "17e8"}, std::nullopt},
      {{"--at", "1700000000.5"}, std::nullopt},
      {{"--at", "9223372036854775808"}, std::nullopt},
      {{"--at"}, std::nullopt},
      {{"record"}, std::nullopt},
  };
  for (const auto& [args, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    constexpr std::string_view at[] = {"--at"};
    EXPECT_EQ(cli::parse_at(host::parse_args(args, at)), want);
  }
}

TEST(RepoArg, TheArgumentUnchangedElseTheCurrentDirectory) {
  const auto given = cli::repo_arg("rel/../x");
  ASSERT_TRUE(given.ok());
  EXPECT_EQ(given.value().string(), "rel/../x");
  const auto here = cli::repo_arg(std::nullopt);
  ASSERT_TRUE(here.ok());
  EXPECT_EQ(here.value(), std::filesystem::current_path());
}

TEST(FindOnPath, TakesTheFirstExecutableRegularFile) {
  const pylon::testing::TempDir tmp;
  const std::filesystem::path dir = tmp.path();
  for (const char* sub : {"a", "b", "c/pylon-host"}) {
    std::filesystem::create_directories(dir / sub);
  }
  std::ofstream(dir / "a" / "pylon-host") << "#!/bin/sh\n";  // not executable
  std::ofstream(dir / "b" / "pylon-host") << "#!/bin/sh\n";
  std::filesystem::permissions(dir / "b" / "pylon-host", std::filesystem::perms::owner_all);
  const std::string a = (dir / "a").string(), b = (dir / "b").string(), c = (dir / "c").string();
  EXPECT_EQ(gitactivity::find_on_path("pylon-host", c + ":" + a + ":" + b),
            dir / "b" / "pylon-host");
  EXPECT_EQ(gitactivity::find_on_path("pylon-host", a + ":" + c),
            std::nullopt);  // a directory is no program
  EXPECT_EQ(gitactivity::find_on_path("pylon-host", (dir / "none").string()), std::nullopt);
}

TEST(MarkerNameFits, NoLongerThanTheLimitInBytesWith255WhenUnknown) {
  const std::string name255(255, 'a');
  EXPECT_TRUE(gitactivity::marker_name_fits(name255, 255));
  EXPECT_FALSE(gitactivity::marker_name_fits(name255 + "a", -1));
  EXPECT_TRUE(gitactivity::marker_name_fits(name255 + "a", 1024));
  EXPECT_FALSE(gitactivity::marker_name_fits(std::string(127, 'a') + "\xC3\xA9", 128));
}
