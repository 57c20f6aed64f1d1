#include "gitactivity/repos.hpp"

#include "gitactivity/enable.hpp"
#include "proc/proc.hpp"
#include "temp_dir.hpp"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

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

// Runs the test's body in another current directory and comes back.
class ScopedCwd {
 public:
  explicit ScopedCwd(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;
  ~ScopedCwd() { fs::current_path(old_); }

 private:
  fs::path old_;
};

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

TEST(GitLine, TheAnswerWithoutItsLastLineFeedOrNothing) {
  const struct {
    std::string output;
    int status;
    std::optional<std::string> want;
  } cases[] = {
      {"  /a path/with spaces \\n", 0, "  /a path/with spaces "},
      {"/r\\302\\240\\n", 0, "/r\u00a0"},  // a no-break space is a name's own byte
      {"/r\\n\\n", 0, "/r\n"},             // so is a line feed
      {"/r", 0, "/r"},
      {"\\n", 0, std::nullopt},
      {"", 0, std::nullopt},
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

TEST(SplitAnswers, OnlyExactlyThatManyNonEmptyLines) {
  using Want = std::optional<std::vector<std::string>>;
  const std::pair<std::string, Want> cases[] = {
      {"/r \n.git\n.git/hooks\n", Want{{"/r ", ".git", ".git/hooks"}}},
      {"/r\xff\n.git\nh\n", Want{{"/r\xff", ".git", "h"}}},  // bytes stay bytes
      {"/r\n/a\nb\nc\n", std::nullopt},                      // which line feed is git's is a guess
      {"/r\n\n.git/hooks\n", std::nullopt},
      {"/r\n.git\nh", std::nullopt},
  };
  for (const auto& [output, want] : cases) {
    SCOPED_TRACE(output);
    EXPECT_EQ(gitactivity::split_answers(output, 3), want);
  }
}

TEST(GitLocalEnv, HoldsEveryVariableTheInstalledGitLists) {
  const proc::Outcome listed = proc::capture("git", {"rev-parse", "--local-env-vars"}, {}, 20);
  ASSERT_TRUE(listed.ok()) << listed.reason();
  std::istringstream lines(listed.stdout);
  for (std::string name; std::getline(lines, name);) {
    EXPECT_NE(std::find(gitactivity::git_local_env.begin(), gitactivity::git_local_env.end(), name),
              gitactivity::git_local_env.end())
        << name;
  }
}

// Wherever the fast path answers, its answer is git's (or the walk's, where git refuses).
TEST(ToplevelHere, AgreesWithGitInEveryLayout) {
  const struct {
    const char* layout;  // a shell script run in an empty directory
    const char* cwd;
    bool fast;
    std::vector<std::pair<const char*, const char*>> env = {};
  } cases[] = {
      {"git init -q r", "r", true},
      {"git init -q r && ln -s r link", "link", true},
      {"git init -q r && mkdir r/sub", "r/sub", false},
      {"git init -q r && git -C r config core.worktree \"$PWD/w\" && mkdir w", "r", false},
      {"git init -q r && printf '[core]\\n\\tworktree = %s/w\\n' \"$PWD\" >inc && mkdir w && "
       "git -C r config include.path \"$PWD/inc\"",
       "r", false},
      // a config too big to read whole, with core.worktree past the first 64 KiB
      {"git init -q r && mkdir w && { yes '# padding' | head -c 70000 && "
       "printf '\\n[core]\\n\\tworktree = %s/w\\n' \"$PWD\"; } >>r/.git/config",
       "r", false},
      {"git init -q r && mkdir w && printf '[core]\\n\\tWorkTree = %s/w\\n' \"$PWD\" "
       ">>r/.git/config",
       "r", false},
      {"git init -q a && git init -q r",
       "r",
       false,
       {{"GIT_DIR", "../a/.git"}, {"GIT_WORK_TREE", "../a"}}},
      {"git init -q a && mkdir w && git -C a config core.worktree \"$PWD/w\" && git init -q r",
       "r",
       false,
       {{"GIT_DIR", "../a/.git"}}},
      {"git init -q a && git init -q r", "r", false, {{"GIT_COMMON_DIR", "../a/.git"}}},
      {"git init -q r",
       "r",
       false,
       {{"GIT_CONFIG_COUNT", "1"},
        {"GIT_CONFIG_KEY_0", "core.worktree"},
        {"GIT_CONFIG_VALUE_0", "/"}}},
      // what git sets for every hook does not move the work tree
      {"git init -q r",
       "r",
       true,
       {{"GIT_INDEX_FILE", "/elsewhere/index"}, {"GIT_PREFIX", "sub/"}}},
      // a linked work tree: its commondir names the main repository's git directory
      {"git init -q r && git -C r commit -q --allow-empty -m x && git -C r worktree add -q ../wt",
       "wt", true},
      {"git init -q r && git -C r commit -q --allow-empty -m x && git -C r worktree add -q ../wt "
       "&& mkdir w && git -C r config extensions.worktreeConfig true && "
       "git -C wt config --worktree core.worktree \"$PWD/w\"",
       "wt", false},
      {"git init -q r && git -C r commit -q --allow-empty -m x && git -C r worktree add -q ../wt "
       "&& echo ../../../nowhere >r/.git/worktrees/wt/commondir",
       "wt", false},
      {"git init -q s && git -C s commit -q --allow-empty -m x && git init -q r && "
       "git -C r -c protocol.file.allow=always submodule add -q \"$PWD/s\" sub",
       "r/sub", false},
      {"git init -q --bare b.git", "b.git", false},
      {"git init -q r && mkdir -p r/in/.git", "r/in", false},
      // an inner .git that git rejects: git answers with the outer work tree
      {"git init -q r && git init -q r/in && printf 'ref: HEAD\\n' >r/in/.git/HEAD", "r/in", false},
      {"git init -q r && git init -q r/in && mv r/in/.git/HEAD r/in/.git/H && ln -s H "
       "r/in/.git/HEAD",
       "r/in", false},
      {"git init -q r && git init -q r/in && rm -r r/in/.git/refs", "r/in", false},
      {"git init -q r && git init -q r/in && echo /nowhere >r/in/.git/commondir", "r/in", false},
      // a separate git directory, named absolutely, relatively, with CRLF, or not at all
      {"git init -q --separate-git-dir \"$PWD/g\" r", "r", true},
      {"git init -q --separate-git-dir g r && printf 'gitdir: ../g\\r\\n' >r/.git", "r", true},
      {"git init -q --separate-git-dir g r && printf 'gitdir: ../nowhere\\n' >r/.git", "r", false},
      {"git init -q --separate-git-dir g r && ln -s ../g r/.git.d && rm r/.git && "
       "ln -s .git.d r/.git",
       "r", false},
      {"git init -q r && git -C r config core.bare true", "r", true},
      {"git init -q r && printf 0123456789012345678901234567890123456789 >r/.git/HEAD", "r", false},
      // as root: git refuses another owner's repository, and the walk finds the same directory
      {"git init -q r && chown -R 65534 r", "r", true},
  };
  const ScopedEnv nosystem("GIT_CONFIG_NOSYSTEM", "1");
  const ScopedEnv global("GIT_CONFIG_GLOBAL", "/dev/null");
  const ScopedEnv name("GIT_AUTHOR_NAME", "t");
  const ScopedEnv mail("GIT_AUTHOR_EMAIL", "t@example.invalid");
  const ScopedEnv cname("GIT_COMMITTER_NAME", "t");
  const ScopedEnv cmail("GIT_COMMITTER_EMAIL", "t@example.invalid");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layout);
    if (std::string_view(c.layout).find("chown") != std::string_view::npos && ::geteuid() != 0) {
      continue;
    }
    const TempDir tmp;
    const proc::Outcome made = proc::capture("sh", {"-c", c.layout}, tmp.path(), 60);
    ASSERT_TRUE(made.ok()) << made.reason();
    const ScopedCwd cwd(tmp / c.cwd);
    std::vector<std::unique_ptr<ScopedEnv>> env;
    for (const auto& [variable, value] : c.env) {
      env.push_back(std::make_unique<ScopedEnv>(variable, value));
    }
    const auto git = gitactivity::git_line(".", {"rev-parse", "--show-toplevel"});
    const auto want = git ? fs::path(*git) : gitactivity::walk_up_for_dot_git(fs::current_path());
    const auto fast = gitactivity::toplevel_here();
    EXPECT_EQ(fast.has_value(), c.fast);
    if (fast) {
      EXPECT_EQ(fast, want);
    }
  }
}
