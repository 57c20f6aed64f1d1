#include "gitactivity/enable.hpp"

#include "gitactivity/hook.hpp"

#include <cerrno>
#include <functional>

#include <gtest/gtest.h>

namespace {

using namespace gitactivity;

std::error_code os(int code) {
  return {code, std::system_category()};
}

const std::string enabled_hook = rewrite_hook(std::string("#!/bin/sh\necho mine\n"));

// A plain repository with an executable hook of the user's own and no marker yet.
RepoFacts plain() {
  RepoFacts facts;
  facts.root = "/w/r";
  facts.git_common_dir = "/w/r/.git";
  facts.hook.dir = "/w/r/.git/hooks";
  facts.hook.hook = "/w/r/.git/hooks/post-commit";
  facts.hook.dir_exists = true;
  facts.hook.regular = true;
  facts.hook.executable = true;
  facts.hook.in_git_dir = true;
  facts.hook.text = std::optional<std::string>("#!/bin/sh\necho mine\n");
  facts.marker.dir = "/m";
  facts.marker.name = "-w-r";
  facts.marker.path = "/m/-w-r";
  facts.marker.dir_standing = Standing::Directory;
  facts.latest_commit = 100;
  return facts;
}

using Change = std::function<void(RepoFacts&)>;

}  // namespace

TEST(PlanEnable, RefusesBeforeAnyWriteWhatTheWriteWouldMeet) {
  struct Row {
    const char* what;
    Change change;
    std::string refusal;  // empty: a plan
  };
  const Row rows[] = {
      {"a plain repository", [](RepoFacts&) {}, ""},
      {"the marker's name is a directory",
       [](RepoFacts& f) { f.marker.standing = Standing::Directory; },
       "could not write marker in /m: not a regular file"},
      {"the marker's name is a FIFO", [](RepoFacts& f) { f.marker.standing = Standing::Other; },
       "could not write marker in /m: not a regular file"},
      {"the marker's name is a link", [](RepoFacts& f) { f.marker.standing = Standing::Link; },
       "could not write marker in /m: Too many levels of symbolic links (os error 40)"},
      {"the marker has other hard links",
       [](RepoFacts& f) {
         f.marker.standing = Standing::Regular;
         f.marker.other_links = true;
         f.marker.mtime = 200;
       },
       "could not write marker in /m: a file with other hard links"},
      {"the marker directory is a file",
       [](RepoFacts& f) {
         f.marker.dir_standing = Standing::Regular;
         f.marker.dir_error = os(ENOTDIR);
       },
       "could not write marker in /m: Not a directory (os error 20)"},
      {"the marker directory cannot be created",
       [](RepoFacts& f) {
         f.marker.dir_standing = Standing::Missing;
         f.marker.dir_error = os(EACCES);
       },
       "could not write marker in /m: Permission denied (os error 13)"},
      {"a missing marker directory that can be created",
       [](RepoFacts& f) { f.marker.dir_standing = Standing::Missing; }, ""},
      {"the path is too long for a marker name", [](RepoFacts& f) { f.marker.name_max = 3; },
       "could not write marker in /m: File name too long (os error 36)"},
      {"no new marker can be made in the directory",
       [](RepoFacts& f) { f.marker.open_error = os(EACCES); },
       "could not write marker in /m: Permission denied (os error 13)"},
      {"root's old marker, which this user may not write",
       [](RepoFacts& f) {
         f.marker.standing = Standing::Regular;
         f.marker.mtime = 50;
         f.marker.open_error = os(EACCES);
       },
       "could not write marker in /m: Permission denied (os error 13)"},
      {"root's up-to-date marker is left alone",
       [](RepoFacts& f) {
         f.marker.standing = Standing::Regular;
         f.marker.mtime = 100;
         f.marker.open_error = os(EACCES);
       },
       ""},
      {"an append-only or immutable hook", [](RepoFacts& f) { f.hook.write_error = os(EPERM); },
       "could not write /w/r/.git/hooks/post-commit: Operation not permitted (os error 1)"},
      {"a hook on a read-only mount", [](RepoFacts& f) { f.hook.write_error = os(EROFS); },
       "could not write /w/r/.git/hooks/post-commit: Read-only file system (os error 30)"},
      {"an enabled hook whose mode cannot change",
       [](RepoFacts& f) {
         f.hook.text = std::optional<std::string>(enabled_hook);
         f.hook.executable = false;
         f.hook.chmod_error = os(EPERM);
       },
       "could not chmod +x /w/r/.git/hooks/post-commit: Operation not permitted (os error 1)"},
      {"the team's hooks directory", [](RepoFacts& f) { f.hook.tracked = true; },
       "will not edit /w/r/.git/hooks/post-commit: the team's hooks directory /w/r/.git/hooks is "
       "tracked by git"},
      {"the team's hook that already records",
       [](RepoFacts& f) {
         f.hook.tracked = true;
         f.hook.text =
             std::optional<std::string>("#!/bin/sh\n" + std::string(recorder_line()) + "\n");
       },
       ""},
      {"a hooks path set in a file another user may change",
       [](RepoFacts& f) {
         f.hook.foreign_config = host::HostError::failure("will not write into /w/r/.git/hooks");
       },
       "will not write into /w/r/.git/hooks"},
      {"a hook its owner may not read",
       [](RepoFacts& f) {
         f.hook.executable = false;
         f.hook.unreadable_to_owner = true;
       },
       "will not enable /w/r/.git/hooks/post-commit: its owner may not read it"},
      {"pre-commit's hook: the marker's refusal still comes before .legacy is written",
       [](RepoFacts& f) {
         const std::string generated =
             "#!/usr/bin/env bash\n# File generated by pre-commit: https://pre-commit.com\n";
         f.hook.text = std::optional<std::string>(generated);
         f.tools.hooks_dir = f.hook.dir;
         f.tools.hook = generated;
         f.tools.legacy.path = f.hook.dir / "post-commit.legacy";
         f.marker.standing = Standing::Directory;
       },
       "could not write marker in /m: not a regular file"},
      {"an unreadable hook", [](RepoFacts& f) { f.hook.text = Err{std::string("denied")}; },
       "could not read /w/r/.git/hooks/post-commit: denied"},
      {"a hooks directory that cannot be created",
       [](RepoFacts& f) {
         f.hook.dir_exists = false;
         f.hook.dir_error = os(ENOTDIR);
       },
       "could not create /w/r/.git/hooks: Not a directory (os error 20)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RepoFacts facts = plain();
    row.change(facts);
    const auto plan = plan_enable(facts, 1000);
    if (row.refusal.empty()) {
      EXPECT_TRUE(plan.ok()) << plan.error().message();
    } else {
      ASSERT_FALSE(plan.ok());
      EXPECT_EQ(plan.error().message().substr(0, row.refusal.size()), row.refusal);
    }
  }
}

TEST(PlanEnable, WritesOnlyWhatIsNotSoAlready) {
  RepoFacts facts = plain();
  auto plan = plan_enable(facts, 1000);
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(plan.value().text, enabled_hook);
  EXPECT_TRUE(plan.value().write_marker);
  EXPECT_EQ(plan.value().epoch, 100);

  facts.hook.text = std::optional<std::string>(enabled_hook);
  facts.marker.standing = Standing::Regular;
  facts.marker.mtime = 100;
  plan = plan_enable(facts, 1000);
  ASSERT_TRUE(plan.ok());
  EXPECT_FALSE(plan.value().text);
  EXPECT_FALSE(plan.value().chmod);
  EXPECT_FALSE(plan.value().write_marker);  // never back in time, never needlessly

  // the line enable advises adding by hand records already: no second recorder
  facts.hook.text =
      std::optional<std::string>("#!/bin/sh\necho a\n  " + std::string(recorder_line()) + "\n");
  facts.hook.executable = false;
  plan = plan_enable(facts, 1000);
  ASSERT_TRUE(plan.ok());
  EXPECT_FALSE(plan.value().text);
  EXPECT_TRUE(plan.value().chmod);

  // ... unless the system cannot start the hook: then it is rewritten with LF endings
  facts.hook.text =
      std::optional<std::string>("#!/bin/sh\r\n" + std::string(recorder_line()) + "\r\n");
  plan = plan_enable(facts, 1000);
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(plan.value().text, rewrite_hook(std::string("#!/bin/sh\n")));

  // without a commit the marker takes `now`
  facts.latest_commit.reset();
  plan = plan_enable(facts, 1000);
  ASSERT_TRUE(plan.ok());
  EXPECT_TRUE(plan.value().write_marker);

  // pre-commit's hook: the recorder goes into the copy pre-commit runs, and the hook git runs,
  // which pre-commit regenerates, is neither judged nor written
  const std::string generated =
      "#!/usr/bin/env bash\n# File generated by pre-commit: https://pre-commit.com\n";
  facts.hook.text = std::optional<std::string>(generated);
  facts.hook.write_error = os(EPERM);
  facts.tools.hooks_dir = facts.hook.dir;
  facts.tools.hook = generated;
  facts.tools.legacy.path = facts.hook.dir / "post-commit.legacy";
  plan = plan_enable(facts, 1000);
  ASSERT_TRUE(plan.ok()) << plan.error().message();
  EXPECT_EQ(plan.value().place.target, ToolPlan::Target::Legacy);
  EXPECT_EQ(plan.value().place.text, rewrite_hook(std::nullopt));
  EXPECT_FALSE(plan.value().text);
}

TEST(PlanEnable, SaysWhereOnlyAWriteCanTell) {
  struct Row {
    const char* what;
    Change change;
    std::string unsure;  // empty: the plan is a promise; "refused": a refusal wins
  };
  const auto enabled = [](RepoFacts& f) {
    f.hook.text = std::optional(enabled_hook);
    f.marker.standing = Standing::Regular;
    f.marker.mtime = 100;
  };
  const Row rows[] = {
      {"the hook goes to /proc", [](RepoFacts& f) { f.hook.only_a_write_tells = "proc"; }, "proc"},
      {"the hook reads so already",
       [&](RepoFacts& f) {
         enabled(f);
         f.hook.only_a_write_tells = "proc";
       },
       ""},
      {"only its mode changes",
       [&](RepoFacts& f) {
         enabled(f);
         f.hook.executable = false;
         f.hook.only_a_write_tells = "full";
       },
       "full"},
      {"the marker goes to a full disk", [](RepoFacts& f) { f.marker.only_a_write_tells = "full"; },
       "full"},
      {"the marker is new enough",
       [&](RepoFacts& f) {
         enabled(f);
         f.marker.only_a_write_tells = "full";
       },
       ""},
      {"a refusal comes first",
       [](RepoFacts& f) {
         f.hook.only_a_write_tells = "proc";
         f.marker.standing = Standing::Directory;
       },
       "refused"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RepoFacts facts = plain();
    row.change(facts);
    const auto plan = plan_enable(facts, 1000);
    EXPECT_EQ(plan ? plan.value().unsure : "refused", row.unsure);
  }
  RepoFacts facts = plain();
  facts.hook.text = std::optional(enabled_hook);
  facts.hook.only_a_write_tells = "proc";
  EXPECT_EQ(plan_disable(facts).value().unsure, "proc");
  facts.hook.text = std::optional<std::string>("#!/bin/sh\n");
  EXPECT_EQ(plan_disable(facts).value().unsure, "");  // nothing to write
}

TEST(PlanDisable, RemovesBlockAndAdvisedLineOrRefuses) {
  struct Row {
    const char* what;
    Change change;
    std::optional<std::string> stripped;  // nothing: no change
    std::string refusal;
  };
  const std::string advised = "#!/bin/sh\necho a\n" + std::string(recorder_line()) + "\n";
  const Row rows[] = {
      {"an enabled hook", [&](RepoFacts& f) { f.hook.text = std::optional(enabled_hook); },
       "#!/bin/sh\necho mine\n", ""},
      {"the advised line", [&](RepoFacts& f) { f.hook.text = std::optional(advised); },
       "#!/bin/sh\necho a\n", ""},
      {"the advised line inside a condition stays: the script would break without it",
       [&](RepoFacts& f) {
         f.hook.text =
             std::optional("#!/bin/sh\nif x; then\n" + std::string(recorder_line()) + "\nfi\n");
       },
       std::nullopt, ""},
      {"no recorder", [](RepoFacts&) {}, std::nullopt, ""},
      {"no hook", [](RepoFacts& f) { f.hook.text = std::optional<std::string>(); }, std::nullopt,
       ""},
      {"the team's hook",
       [&](RepoFacts& f) {
         f.hook.text = std::optional(enabled_hook);
         f.hook.tracked = true;
       },
       std::nullopt, "will not edit /w/r/.git/hooks/post-commit: the team's hooks directory"},
      {"an immutable hook",
       [&](RepoFacts& f) {
         f.hook.text = std::optional(enabled_hook);
         f.hook.write_error = os(EPERM);
       },
       std::nullopt, "could not write /w/r/.git/hooks/post-commit: Operation not permitted"},
      {"an unreadable hook", [](RepoFacts& f) { f.hook.text = Err{std::string("denied")}; },
       std::nullopt, "could not read /w/r/.git/hooks/post-commit: denied"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RepoFacts facts = plain();
    row.change(facts);
    const auto plan = plan_disable(facts);
    if (!row.refusal.empty()) {
      ASSERT_FALSE(plan.ok());
      EXPECT_EQ(plan.error().message().substr(0, row.refusal.size()), row.refusal);
      continue;
    }
    ASSERT_TRUE(plan.ok()) << plan.error().message();
    ASSERT_EQ(plan.value().hook.has_value(), row.stripped.has_value());
    if (row.stripped) {
      EXPECT_EQ(plan.value().hook->stripped, *row.stripped);
    }
  }
}
