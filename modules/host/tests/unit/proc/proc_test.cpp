#include "proc/proc.hpp"

#include "temp_dir.hpp"
#include "unique_fd.hpp"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;
using pylon::testing::TempDir;

proc::Outcome sh(const std::string& script, std::uint64_t deadline = 20) {
  return proc::capture("sh", {"-c", script}, std::nullopt, deadline);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

TEST(Capture, CollectsBothStreamsAndTheExitStatus) {
  const proc::Outcome o = sh("printf 'abc  \\n\\n\\n'; printf ' err\\n' >&2; exit 3");
  EXPECT_EQ(o.stdout, "abc  \n\n\n");  // as written: a path may end in white space
  EXPECT_EQ(o.stderr, " err\n");
  EXPECT_EQ(o.code, 3);
  EXPECT_FALSE(o.timed_out);
  EXPECT_FALSE(o.ok());
  EXPECT_EQ(o.reason(), "err");
}

TEST(Capture, LeavesOutExactlyTheNamedVariables) {
  const pylon::testing::ScopedEnv a("PYLON_T_A", "1");
  const pylon::testing::ScopedEnv ab("PYLON_T_AB", "2");
  const pylon::testing::ScopedEnv empty("PYLON_T_E", "");
  const std::string_view unset[] = {"PYLON_T_A", "PYLON_T_E"};
  const proc::Outcome o =
      proc::capture("sh", {"-c", "echo ${PYLON_T_A-none} ${PYLON_T_AB-none} ${PYLON_T_E-none}"},
                    std::nullopt, 20, unset);
  EXPECT_EQ(o.stdout, "none 2 none\n");
}

TEST(Capture, InvalidUtf8IsReplaced) {
  EXPECT_EQ(sh("printf 'a\\377b'").stdout,
            "a\xEF\xBF\xBD"
            "b");
}

TEST(Capture, MissingProgramIs127AndNamed) {
  const proc::Outcome o = proc::capture("no-such-program-here", {}, std::nullopt, 5);
  EXPECT_EQ(o.code, 127);
  EXPECT_FALSE(o.timed_out);
  EXPECT_EQ(o.stderr,
            "could not run `no-such-program-here`: No such file or directory (os error 2)");
}

TEST(Capture, MissingWorkingDirectoryIs127) {
  const proc::Outcome o = proc::capture("true", {}, "/no/such/dir", 5);
  EXPECT_EQ(o.code, 127);
  EXPECT_TRUE(o.stderr.starts_with("could not run `true`: ")) << o.stderr;
}

TEST(Capture, RunsInTheWorkingDirectory) {
  EXPECT_EQ(proc::capture("pwd", {}, "/", 5).stdout, "/\n");
}

TEST(Capture, DeadlineKillsAndReports124) {
  const TempDir tmp;
  const auto start = Clock::now();
  // deaf to SIGTERM, so only SIGKILL ends it
  const proc::Outcome o =
      sh("trap '' TERM; echo $$ > '" + (tmp / "pid").string() + "'; exec sleep 30", 1);
  EXPECT_LT(seconds_since(start), 10.0);
  EXPECT_EQ(o.code, 124);
  EXPECT_TRUE(o.timed_out);
  EXPECT_EQ(o.stdout, "");
  EXPECT_EQ(o.stderr, "`sh` exceeded its 1s deadline and was terminated");

  pid_t pid = 0;
  std::ifstream(tmp / "pid") >> pid;
  ASSERT_GT(pid, 0);
  // the waiter reaps it soon after the kill; until then it lingers as a zombie
  while (::kill(pid, 0) == 0 && seconds_since(start) < 10.0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(::kill(pid, 0), 0) << "the child outlived its deadline";
}

TEST(Capture, GrandchildHoldingThePipesRunsIntoTheDeadline) {
  const auto start = Clock::now();
  // the grandchild outlives any load: returning before it ends is returning at the deadline
  const proc::Outcome o = sh("sleep 30 & echo started", 1);
  EXPECT_LT(seconds_since(start), 15.0);
  EXPECT_EQ(o.code, 124);
  EXPECT_TRUE(o.timed_out);
}

TEST(Capture, ChildKilledBySignalIsMinusOne) {
  const proc::Outcome o = sh("kill -9 $$");
  EXPECT_EQ(o.code, -1);
  EXPECT_FALSE(o.timed_out);
}

TEST(Capture, StandardInputIsAtEndOfFile) {
  const proc::Outcome o = proc::capture("cat", {}, std::nullopt, 10);
  EXPECT_TRUE(o.ok());  // a cat waiting for input would run into the deadline instead
  EXPECT_EQ(o.stdout, "");
}

TEST(Capture, LargeOutputOnBothStreamsDoesNotStall) {
  const proc::Outcome o =
      sh("head -c 8000000 /dev/zero | tr '\\0' a; head -c 3000000 /dev/zero | tr '\\0' b >&2", 60);
  EXPECT_TRUE(o.ok()) << o.stderr.substr(0, 200);
  EXPECT_EQ(o.stdout.size(), 8000000u);
  EXPECT_EQ(o.stderr.size(), 3000000u);
}

TEST(Capture, OutputPastTheCapKillsTheChild) {
  // 48 + 16 MiB is what both streams together may hold; the newline is one byte more
  const proc::Outcome o =
      sh("head -c 50331648 /dev/zero; head -c 16777216 /dev/zero >&2; echo; exec sleep 30", 20);
  EXPECT_EQ(o.code, -1);
  EXPECT_TRUE(o.overflowed);
  EXPECT_FALSE(o.timed_out);  // killed by the cap, not at the deadline
  EXPECT_EQ(o.stdout, "");
  EXPECT_EQ(o.stderr, "`sh` wrote more than 64 MiB and was terminated");
}

TEST(Capture, HugeDeadlineMeansNoDeadline) {
  EXPECT_TRUE(sh("exit 0", UINT64_MAX).ok());
}

TEST(Streaming, ReportsStatusWithoutOutputAndReadsTheNullDevice) {
  // our standard input is a live pipe holding a line: a child reading it would exit 5
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pylon::UniqueFd read_end(fds[0]);
  const pylon::UniqueFd write_end(fds[1]);
  ASSERT_EQ(::write(write_end.get(), "line\n", 5), 5);
  const pylon::UniqueFd saved_stdin(::dup(0));
  ASSERT_EQ(::dup2(read_end.get(), 0), 0);
  const proc::Outcome o = proc::streaming("sh", {"-c", "read x && exit 5; exit 4"}, 10);
  if (saved_stdin) {
    ::dup2(saved_stdin.get(), 0);
  } else {
    ::close(0);  // the suite ran with no standard input
  }
  EXPECT_EQ(o.code, 4);
  EXPECT_EQ(o.stdout, "");
  EXPECT_EQ(o.stderr, "");
}

TEST(Streaming, DeadlineAndMissingProgram) {
  const proc::Outcome late = proc::streaming("sleep", {"30"}, 1);
  EXPECT_EQ(late.code, 124);
  EXPECT_TRUE(late.timed_out);
  EXPECT_EQ(late.stderr, "`sleep` exceeded its 1s deadline and was terminated");
  const proc::Outcome missing = proc::streaming("no-such-program-here", {}, 1);
  EXPECT_EQ(missing.code, 127);
  EXPECT_FALSE(missing.timed_out);
}

TEST(Reason, PrefersErrorTextThenOutput) {
  EXPECT_EQ((proc::Outcome{"  done  ", "", 1, false}).reason(), "done");
  EXPECT_EQ((proc::Outcome{"", "", 1, false}).reason(), "");
  EXPECT_EQ((proc::Outcome{"out", " \n", 1, false}).reason(), "out");
  EXPECT_EQ((proc::Outcome{"out", " err ", 1, false}).reason(), "err");
}
