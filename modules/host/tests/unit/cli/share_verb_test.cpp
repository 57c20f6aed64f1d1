#include "cli/share_verb.hpp"

#include "files.hpp"
#include "gate.hpp"
#include "share/quaylink.hpp"
#include "share/settings.hpp"
#include "share/share_dir.hpp"
#include "temp_dir.hpp"

#include <deque>
#include <sstream>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using pylon::testing::ScopedEnv;
using pylon::testing::TempDir;
using share::Output;
using Strings = std::vector<std::string>;

// Records every run, with what the verb had written by then, and answers from a queue (a clean
// run once the queue is empty).
class FakeQuaylink final : public share::Quaylink {
 public:
  struct Call {
    Strings args;
    Output output;
    std::uint64_t deadline;
    std::string out_so_far;
  };

  explicit FakeQuaylink(const std::ostringstream& out) : out_(out) {}

  proc::Outcome run(const Strings& args, Output output, std::uint64_t deadline) override {
    calls.push_back({args, output, deadline, out_.str()});
    if (answers.empty()) {
      return {};
    }
    proc::Outcome next = answers.front();
    answers.pop_front();
    return next;
  }

  std::vector<Call> calls;
  std::deque<proc::Outcome> answers;

 private:
  const std::ostringstream& out_;
};

// A sealed world: its own fleet home, share directory and no peer from the environment.
class ShareVerb : public testing::Test {
 protected:
  cli::VerbResult share(const host::Args& args) { return cli::share_verb(args, tool, out); }
  fs::path dir() const { return root / "share"; }

  TempDir tmp;
  fs::path root = fs::canonical(tmp.path());
  ScopedEnv fleet{"PYLON_HOME", (root / "fleet").string()};
  ScopedEnv peers{"PYLON_PEERS", std::nullopt};
  ScopedEnv env_peer{"PYLON_SHARE_PEER", std::nullopt};
  ScopedEnv share_dir{"PYLON_SHARE_DIR", (root / "share").string()};
  std::ostringstream out;
  FakeQuaylink tool{out};
};

void expect_error(const cli::VerbResult& result, host::HostError::Kind kind,
                  const std::string& message) {
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), kind);
  EXPECT_EQ(result.error().message(), message);
}

// The words of these failures are the rules' own, pinned in their unit tests; here it matters
// that the verb passes them on unchanged.
std::string failed_run(const proc::Outcome& outcome) {
  return share::check(outcome, "mini").error().message();
}

std::string refused_push(const fs::path& operand) {
  return share::resolve_push_path(operand.string()).error().message();
}

}  // namespace

TEST_F(ShareVerb, RefusesAMissingOrUnknownVerb) {
  for (const host::Args& args : {host::Args{}, {""}, {"--json"}, {"--peer", "ls"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    expect_error(share(args), host::HostError::Kind::Usage,
                 "usage: pylon share push|pull|ls|dir|peer|peers");
  }
  expect_error(
      share({"Push", "a"}), host::HostError::Kind::Usage,
      "unknown share verb 'Push'. Expected: push | pull | ls | dir | peer | peers (did you mean "
      "'push'?)");
  expect_error(share({"push", "--peer", "mini"}), host::HostError::Kind::Usage,
               "usage: pylon share push <file ...> [--peer NAME]");
  for (const host::Args& args :
       {host::Args{"pull"}, {"pull", ""}, {"pull", "--json"}, {"pull", "--"}}) {
    expect_error(share(args), host::HostError::Kind::Usage, "usage: pylon share pull <name>");
  }
  EXPECT_TRUE(tool.calls.empty());
}

TEST_F(ShareVerb, PushSendsEachFileLiveAndReportsItAfterItsTransfer) {
  ASSERT_TRUE(pylon::write_atomic(root / "a.txt", "a"));
  ASSERT_TRUE(pylon::write_atomic(root / "-b", "b"));
  const ScopedEnv env("PYLON_SHARE_PEER", "studio");  // the flag wins over it
  auto result =
      share({"push", (root / "a.txt").string(), "--peer", " mini ", (root / "." / "-b").string()});
  ASSERT_TRUE(result.ok()) << result.error().message();
  EXPECT_EQ(result.value(), 0);
  ASSERT_EQ(tool.calls.size(), 2u);
  EXPECT_EQ(tool.calls[0].args, (Strings{"put", (root / "a.txt").string(), "mini:/"}));
  EXPECT_EQ(tool.calls[1].args, (Strings{"put", (root / "-b").string(), "mini:/"}));
  for (const auto& call : tool.calls) {
    EXPECT_EQ(call.output, Output::Live);
    EXPECT_EQ(call.deadline, 900u);
  }
  EXPECT_EQ(tool.calls[0].out_so_far, "");
  EXPECT_EQ(tool.calls[1].out_so_far, "-> mini  a.txt\n");
  EXPECT_EQ(out.str(), "-> mini  a.txt\n-> mini  -b\n");
}

TEST_F(ShareVerb, PushWithJsonKeepsTheToolOffStandardOutput) {
  ASSERT_TRUE(pylon::write_atomic(root / "a.txt", "a"));
  auto result = share({"push", "--json", (root / "a.txt").string(), "--timeout=30", "--peer=mini"});
  ASSERT_TRUE(result.ok()) << result.error().message();
  ASSERT_EQ(tool.calls.size(), 1u);
  EXPECT_EQ(tool.calls[0].output, Output::LiveOnStderr);
  EXPECT_EQ(tool.calls[0].deadline, 30u);
  EXPECT_EQ(out.str(),
            R"({"ok":true,"peer":"mini","pushed":[")" + (root / "a.txt").string() + "\"]}\n");
}

TEST_F(ShareVerb, PushStopsAtTheFirstFailure) {
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json);
    out.str("");
    tool.calls.clear();
    ASSERT_TRUE(pylon::write_atomic(root / "a.txt", "a"));
    ASSERT_TRUE(pylon::write_atomic(root / "b.txt", "b"));
    tool.answers = {proc::Outcome{}, proc::Outcome{"", "", 3, false}};
    host::Args args = {"push",
                       (root / "a.txt").string(),
                       (root / "b.txt").string(),
                       (root / "c.txt").string(),
                       "--peer",
                       "mini"};
    if (json) {
      args.push_back("--json");
    }
    expect_error(share(args), host::HostError::Kind::Failure,
                 failed_run(proc::Outcome{"", "", 3, false}));
    EXPECT_EQ(tool.calls.size(), 2u);  // c.txt is neither resolved nor sent
    EXPECT_EQ(out.str(), json ? "" : "-> mini  a.txt\n");
  }
}

TEST_F(ShareVerb, PushRefusesADirectoryOrAMissingFileBeforeSendingIt) {
  fs::create_directory(root / "somedir");
  expect_error(share({"push", (root / "somedir").string(), "--peer", "mini"}),
               host::HostError::Kind::Usage, refused_push(root / "somedir"));
  // the peer is chosen first: a bad one is what the user hears about
  expect_error(share({"push", (root / "somedir").string(), "--peer", "-x"}),
               host::HostError::Kind::Usage,
               "peer '-x' starts with '-' and would be parsed as a quaylink option");
  ASSERT_TRUE(pylon::write_atomic(root / "a.txt", "a"));
  expect_error(
      share({"push", (root / "a.txt").string(), (root / "missing.txt").string(), "--peer", "mini"}),
      host::HostError::Kind::Failure, refused_push(root / "missing.txt"));
  EXPECT_EQ(tool.calls.size(), 1u);
}

TEST_F(ShareVerb, LsCapturesTheListingUnderItsOwnDeadline) {
  tool.answers = {proc::Outcome{"a.txt\r\n\n  \n  b.txt", "", 0, false}};
  auto result = share({"ls", "--json", "/docs", "--peer", "mini"});
  ASSERT_TRUE(result.ok()) << result.error().message();
  ASSERT_EQ(tool.calls.size(), 1u);
  EXPECT_EQ(tool.calls[0].args, (Strings{"ls", "mini:/docs"}));
  EXPECT_EQ(tool.calls[0].output, Output::Capture);
  EXPECT_EQ(tool.calls[0].deadline, 60u);
  EXPECT_EQ(out.str(), R"({"ok":true,"peer":"mini","path":"/docs","lines":["a.txt","  b.txt"]})"
                       "\n");

  out.str("");
  tool.answers = {proc::Outcome{"a.txt\n\nb.txt", "", 0, false}, proc::Outcome{}};
  ASSERT_TRUE(share({"ls", "--peer", "mini", "--timeout", "5"}).ok());
  EXPECT_EQ(tool.calls[1].args, (Strings{"ls", "mini:/"}));
  EXPECT_EQ(tool.calls[1].deadline, 5u);
  ASSERT_TRUE(share({"ls", "--peer", "mini"}).ok());
  EXPECT_EQ(out.str(), "a.txt\n\nb.txt\n");  // and nothing for the empty listing

  const proc::Outcome refused{"", " no such peer\n", 2, false};
  tool.answers = {refused};
  expect_error(share({"ls", "--peer", "mini"}), host::HostError::Kind::Failure,
               failed_run(refused));
}

TEST_F(ShareVerb, PullCreatesTheShareDirectoryFirst) {
  expect_error(share({"pull", "-x", "--peer", "mini"}), host::HostError::Kind::Usage,
               "'-x' starts with '-' and would be parsed as a quaylink option; use `./-x` if the "
               "file really is named that");
  EXPECT_FALSE(fs::exists(dir()));

  auto result = share({"pull", "./-x", "--peer", "mini"});
  ASSERT_TRUE(result.ok()) << result.error().message();
  EXPECT_TRUE(fs::is_directory(dir()));
  ASSERT_EQ(tool.calls.size(), 1u);
  EXPECT_EQ(tool.calls[0].args, (Strings{"get", "mini:/./-x", dir().string()}));
  EXPECT_EQ(tool.calls[0].output, Output::Live);
  EXPECT_EQ(tool.calls[0].deadline, 900u);
  EXPECT_EQ(out.str(), "<- mini  ./-x -> " + dir().string() + "\n");

  out.str("");
  ASSERT_TRUE(share({"pull", "a.txt", "--json", "--peer", "mini", "--timeout", "7"}).ok());
  EXPECT_EQ(tool.calls[1].output, Output::LiveOnStderr);
  EXPECT_EQ(tool.calls[1].deadline, 7u);
  EXPECT_EQ(out.str(),
            R"({"ok":true,"peer":"mini","pulled":"a.txt","dir":")" + dir().string() + "\"}\n");
}

TEST_F(ShareVerb, PullNamesTheDirectoryItCannotCreate) {
  ASSERT_TRUE(pylon::write_atomic(dir(), "a file in the way"));
  auto result = share({"pull", "a.txt", "--peer", "mini"});
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(result.error().message().starts_with(
      host::HostError::could_not("create", dir(), "").message()))
      << result.error().message();
  EXPECT_TRUE(tool.calls.empty());
}

TEST_F(ShareVerb, PeerSetsAndShowsTheDefault) {
  auto saved = share({"peer", "mini"});
  ASSERT_TRUE(saved.ok()) << saved.error().message();
  const fs::path config = root / "fleet/config/share.json";
  EXPECT_EQ(out.str(), "default share peer = mini  (" + config.string() + ")\n");

  out.str("");
  ASSERT_TRUE(share({"peer"}).ok());
  ASSERT_TRUE(share({"peer", "--json"}).ok());
  ASSERT_TRUE(share({"peer", "studio", "--json"}).ok());
  EXPECT_EQ(out.str(),
            "mini\n{\"ok\":true,\"peer\":\"mini\"}\n"
            R"({"ok":true,"peer":"studio","config":")" +
                config.string() + "\"}\n");

  expect_error(share({"peer", " x"}), host::HostError::Kind::Usage,
               share::validate_peer(" x").error().message());
  EXPECT_TRUE(tool.calls.empty());
}

TEST_F(ShareVerb, DirPrintsTheShareDirectoryWithoutTouchingIt) {
  ASSERT_TRUE(share({"dir"}).ok());
  ASSERT_TRUE(share({"dir", "--json"}).ok());
  EXPECT_EQ(out.str(), dir().string() + "\n{\"ok\":true,\"dir\":\"" + dir().string() +
                           "\",\"opened\":false}\n");
  EXPECT_FALSE(fs::exists(dir()));
}
