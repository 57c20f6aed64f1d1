#include "gitactivity/status.hpp"

#include "gitactivity/hook.hpp"
#include "repo_facts.hpp"

#include <algorithm>
#include <cerrno>
#include <functional>

#include <gtest/gtest.h>

namespace {

using namespace gitactivity;

using fixtures::os;

const std::string block_hook = rewrite_hook(std::optional<std::string>());

// An enabled plain repository whose marker is up to date.
RepoFacts recorded() {
  RepoFacts facts = fixtures::plain_repo();
  facts.hook.text = std::optional<std::string>(block_hook);
  facts.marker.standing = Standing::Regular;
  facts.marker.mtime = 100;
  return facts;
}

const Check& named(const std::vector<Check>& checks, std::string_view name) {
  return *std::find_if(checks.begin(), checks.end(),
                       [&](const Check& c) { return c.name == name; });
}

std::optional<std::string> text(std::string body) {
  return body;
}

}  // namespace

TEST(RepoChecks, RecordedOnlyWhenGitRunsTheRecorderAndRecordCanWrite) {
  struct Row {
    const char* what;
    std::function<void(RepoFacts&)> change;
    std::string_view check;
    std::string_view state;  // of that check
    bool doubt = false;
  };
  const std::string line(recorder_line());
  const Row rows[] = {
      {"enabled", [](RepoFacts&) {}, "hook", "ok"},
      {"the advised line last",
       [&](RepoFacts& f) { f.hook.text = text("#!/bin/sh\necho a\n" + line + "\n\n# end\n"); },
       "hook", "ok"},
      {"a CRLF interpreter line",
       [](RepoFacts& f) { f.hook.text = text("#!/bin/sh\r\n" + block_hook.substr(10)); }, "hook",
       "problem"},
      {"the block below an exec",
       [](RepoFacts& f) { f.hook.text = text("#!/bin/sh\nexec other\n" + block_hook.substr(10)); },
       "hook", "warning", true},
      {"the advised line after an exit",
       [&](RepoFacts& f) { f.hook.text = text("#!/bin/sh\nexit 0\n" + line + "\n"); }, "hook",
       "warning", true},
      {"the advised line inside a condition",
       [&](RepoFacts& f) { f.hook.text = text("#!/bin/sh\nif x; then\n  " + line + "\nfi\n"); },
       "hook", "warning", true},
      {"a noexec mount", [](RepoFacts& f) { f.hook.exec_error = os(EACCES); }, "hook", "problem"},
      {"no recorder", [](RepoFacts& f) { f.hook.text = text("#!/bin/sh\necho a\n"); }, "hook",
       "problem"},
      {"a marker directory that is a file",
       [](RepoFacts& f) {
         f.marker.dir_standing = Standing::Regular;
         f.marker.dir_error = os(ENOTDIR);
       },
       "marker", "problem"},
      {"a marker directory below a file",
       [](RepoFacts& f) {
         f.marker.dir_standing = Standing::Missing;
         f.marker.dir_error = os(ENOTDIR);
       },
       "marker", "problem"},
      {"a missing marker directory this user can create",
       [](RepoFacts& f) {
         f.marker.dir_standing = Standing::Missing;
         f.marker.standing = Standing::Missing;
       },
       "marker", "warning"},
      {"root's marker directory",
       [](RepoFacts& f) {
         f.marker.standing = Standing::Missing;
         f.marker.open_error = os(EACCES);
       },
       "marker", "problem"},
      {"root's marker", [](RepoFacts& f) { f.marker.open_error = os(EACCES); }, "marker",
       "problem"},
      {"a marker name taken by a directory",
       [](RepoFacts& f) { f.marker.standing = Standing::Directory; }, "marker", "problem"},
      {"a marker behind the latest commit", [](RepoFacts& f) { f.latest_commit = 101; }, "marker",
       "warning"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RepoFacts facts = recorded();
    row.change(facts);
    const std::vector<Check> checks = repo_checks(facts);
    const Check& check = named(checks, row.check);
    EXPECT_EQ(check.state, row.state) << check.detail;
    EXPECT_EQ(check.doubt, row.doubt);
    EXPECT_EQ(has_doubt(checks), row.doubt);
  }
}
