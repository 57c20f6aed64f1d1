#include "cli/cli.hpp"
#include "temp_dir.hpp"

#include <sstream>

#include <gtest/gtest.h>

namespace {

struct Ran {
  std::int32_t status;
  std::string out;
  std::string err;
};

Ran run(const host::Args& args) {
  std::ostringstream out;
  std::ostringstream err;
  const std::int32_t status = cli::run(args, out, err);
  return {status, out.str(), err.str()};
}

}  // namespace

TEST(Run, HelpWordsPrintTheHelpText) {
  for (const host::Args& args : {host::Args{}, {""}, {"help"}, {"-h"}, {"--help"}, {"help", "x"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    const Ran r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, cli::help_text() + "\n");
    EXPECT_EQ(r.err, "");
  }
  // built from the tables, the help keeps its fixed lines where they were
  const std::string help = cli::help_text();
  EXPECT_TRUE(
      help.starts_with("pylon-host — machine integration for the fleet\n\nusage:\n"
                       "  pylon host git-activity record [--at EPOCH]      touch"));
  EXPECT_NE(help.find("enable-all [DIR ...]     \xE2\x80\xA6in every repo"), std::string::npos);
  EXPECT_NE(help.find("\noptions:\n      --peer NAME   quaylink peer"), std::string::npos);
  EXPECT_TRUE(help.ends_with("default quaylink peer for this shell"));
}

TEST(Run, DescribeIgnoresWhatFollows) {
  const Ran r = run({"--describe", "share", "--bogus"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "host — machine integration: git-activity commit markers "
            "(record/enable/migrate) and the quaylink peer share (push/pull/ls)\n");
}

TEST(Run, UnknownVerbsAreUsageErrors) {
  const std::pair<const char*, const char*> cases[] = {
      {"Share", " (did you mean 'share'?)"},
      {"host", ""},
      {"--json", ""},
      {"-H", ""},
      {"git_activity", " (did you mean 'git-activity'?)"},
  };
  for (const auto& [verb, guess] : cases) {
    SCOPED_TRACE(verb);
    const Ran r = run({verb, "list"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("pylon-host: unknown verb '") + verb +
                         "'. Expected: git-activity | share (see `pylon host help`)" + guess +
                         "\n");
  }
}

TEST(Run, ArgumentsThatAreNotUtf8NameTheirPosition) {
  const Ran r = run({"Share", "ok", "bad\xFF"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "pylon-host: argument 3 is not valid UTF-8 ('bad\xEF\xBF\xBD')\n");
}

TEST(Run, EveryGitActivityAliasReachesTheGroup) {
  const pylon::testing::TempDir tmp;
  const pylon::testing::ScopedEnv dir("PYLON_GIT_ACTIVITY_DIR", (tmp / "m").string());
  for (const char* group : {"git-activity", "gitactivity", "ga"}) {
    SCOPED_TRACE(group);
    const Ran r = run({group, "--timeout", "5", "path", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"ok\":true,\"dir\":\"" + (tmp / "m").string() + "\"}\n");
    EXPECT_EQ(run({group}).status, 2);
  }
}

TEST(Finish, StatusFromTheKindOrTheVerb) {
  std::ostringstream err;
  EXPECT_EQ(cli::finish(host::VerbResult(7), err), 7);
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(cli::finish(Err{host::HostError::failure("boom")}, err), 1);
  EXPECT_EQ(cli::finish(Err{host::HostError::usage("bad")}, err), 2);
  EXPECT_EQ(err.str(), "pylon-host: boom\npylon-host: bad\n");
}
