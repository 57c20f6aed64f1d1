#include "gitactivity/gitactivity.hpp"
#include "temp_dir.hpp"

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using pylon::testing::ScopedEnv;
using pylon::testing::TempDir;

void make_repo(const fs::path& dir) {
  fs::create_directories(dir / ".git");
}

Clock::time_point in_a_minute() {
  return Clock::now() + std::chrono::minutes(1);
}

// A stand-in `git` that prints `output` and exits with `status`, first on PATH.
void fake_git(const TempDir& tmp, const std::string& output, int status) {
  const fs::path bin = tmp / "bin";
  fs::create_directories(bin);
  std::ofstream(bin / "git") << "#!/bin/sh\nprintf '" << output << "'\nexit " << status << "\n";
  fs::permissions(bin / "git", fs::perms::owner_all);
}

}  // namespace

TEST(FindRepos, FindsNestedReposButPrunesAndNeverFollowsLinks) {
  const TempDir tmp;
  const fs::path root = tmp / "root";
  make_repo(root / "a");
  make_repo(root / "a/tools/b");  // nested inside another repository
  for (const char* pruned : {"node_modules", "target", "vendor", "Pods", "dist", "DerivedData",
                             ".build", ".venv", "zig-out", ".zig-cache"}) {
    make_repo(root / "a" / pruned / "c");
  }
  make_repo(root / "a/.git/modules/inner");  // nothing below .git is looked at
  make_repo(root / "deep/target/t");         // pruned below the root
  make_repo(root / "deep/Target/t");         // the names are case-sensitive
  make_repo(root / ".hidden/h");             // other hidden directories are walked
  make_repo(root / "x/y");
  make_repo(root / "x-y");
  fs::create_directories(root / "w");
  std::ofstream(root / "w/.git") << "gitdir: elsewhere\n";  // a linked work tree
  make_repo(tmp / "outside/r");
  fs::create_directory_symlink(tmp / "outside", root / "link");

  const gitactivity::WalkResult result = gitactivity::find_repos(root, in_a_minute());
  EXPECT_FALSE(result.deadline_expired);
  const std::vector<fs::path> want = {
      root / ".hidden/h",     root / "a", root / "a/tools/b",
      root / "deep/Target/t", root / "w", root / "x/y",  // a/b sorts before a-b
      root / "x-y",
  };
  EXPECT_EQ(result.repos, want);
}

TEST(FindRepos, ListsDirectoriesLargerThanOneRead) {
  const TempDir tmp;
  std::vector<fs::path> want;
  for (int i = 0; i < 1500; ++i) {  // far more names than one 32 KiB read returns
    want.push_back(tmp / "root" / ("repository-with-a-rather-long-name-" + std::to_string(i)));
    make_repo(want.back());
  }
  std::sort(want.begin(), want.end());
  EXPECT_EQ(gitactivity::find_repos(tmp / "root", in_a_minute()).repos, want);
}

TEST(FindRepos, TheRootItselfIsNeverPrunedAndMayBeALink) {
  const TempDir tmp;
  make_repo(tmp / "target");
  make_repo(tmp / "target/r");
  fs::create_directory_symlink(tmp / "target", tmp / "via");

  const std::vector<fs::path> direct = {tmp / "target", tmp / "target/r"};
  EXPECT_EQ(gitactivity::find_repos(tmp / "target", in_a_minute()).repos, direct);
  const std::vector<fs::path> linked = {tmp / "via", tmp / "via/r"};
  EXPECT_EQ(gitactivity::find_repos(tmp / "via", in_a_minute()).repos, linked);
  // the root's text is kept as given
  EXPECT_EQ(gitactivity::find_repos(tmp.path().string() + "/via/", in_a_minute()).repos.front(),
            tmp.path().string() + "/via/");
}

TEST(FindRepos, MissingRootIsEmptyAndAPassedDeadlineStopsAtOnce) {
  const TempDir tmp;
  const auto missing = gitactivity::find_repos(tmp / "missing", in_a_minute());
  EXPECT_TRUE(missing.repos.empty());
  EXPECT_FALSE(missing.deadline_expired);

  make_repo(tmp / "r");
  const auto late = gitactivity::find_repos(tmp.path(), Clock::now() - std::chrono::seconds(1));
  EXPECT_TRUE(late.repos.empty());
  EXPECT_TRUE(late.deadline_expired);
}

TEST(DeadlineAfter, ABudgetTheClockCannotHoldIsNoDeadline) {
  EXPECT_EQ(gitactivity::deadline_after(UINT64_MAX), Clock::time_point::max());
  EXPECT_EQ(gitactivity::deadline_after(UINT64_MAX / 2), Clock::time_point::max());
  const Clock::time_point before = Clock::now();
  const Clock::time_point deadline = gitactivity::deadline_after(300);
  EXPECT_GE(deadline, before + std::chrono::seconds(300));
  EXPECT_LE(deadline, Clock::now() + std::chrono::seconds(300));
}

TEST(WalkDeadline, PositiveTimeoutElse300) {
  const std::pair<host::Args, std::uint64_t> cases[] = {
      {{"enable-all"}, 300},   {{"--timeout", "0"}, 300},   {{"--timeout", "-5"}, 300},
      {{"--timeout=+30"}, 30}, {{"--timeout", " 45 "}, 45},
  };
  for (const auto& [args, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(gitactivity::walk_deadline(args), want);
  }
}

TEST(WalkUpForDotGit, NearestDotGitOfAnyKindThatExists) {
  const TempDir tmp;
  fs::create_directories(tmp / "w/sub/deeper");
  std::ofstream(tmp / "w/.git") << "gitdir: elsewhere\n";
  EXPECT_EQ(gitactivity::walk_up_for_dot_git(tmp / "w/sub/deeper"), tmp / "w");
  EXPECT_EQ(gitactivity::walk_up_for_dot_git(tmp / "w"), tmp / "w");

  fs::create_directories(tmp / "d/sub");
  fs::create_symlink(tmp / "nowhere", tmp / "d/.git");  // dangling: does not count
  EXPECT_EQ(gitactivity::walk_up_for_dot_git(tmp / "d/sub"), std::nullopt);
}

TEST(GitToplevel, FallsBackToTheFileSystemWithoutGit) {
  const TempDir tmp;
  fs::create_directories(tmp / "repo/.git");
  fs::create_directories(tmp / "repo/sub");
  fs::create_directories(tmp / "empty-bin");
  const ScopedEnv path("PATH", (tmp / "empty-bin").string());
  EXPECT_EQ(gitactivity::git_toplevel(tmp / "repo/sub"), tmp / "repo");
  EXPECT_EQ(gitactivity::git_line(tmp / "repo", {"rev-parse", "--show-toplevel"}), std::nullopt);
}

TEST(GitLine, TrimmedAnswerOrNothing) {
  const struct {
    std::string output;
    int status;
    std::optional<std::string> want;
  } cases[] = {
      {"  /a path/with spaces \\n", 0, "/a path/with spaces"},
      {"\\n", 0, std::nullopt},
      {"/answer\\n", 1, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    const TempDir tmp;
    fake_git(tmp, c.output, c.status);
    const ScopedEnv path("PATH", (tmp / "bin").string());
    EXPECT_EQ(gitactivity::git_line(tmp.path(), {"rev-parse"}), c.want);
  }
}
