#include "gate.hpp"

#include "files.hpp"
#include "temp_dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using pylon::GateRule;
using pylon::WriteAction;

std::string text_of(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

void put(const fs::path& file, const std::string& text) {
  std::ofstream(file) << text;
}

// Each row lays out the tree below `t` ("root" is the write's root, "out" lies beside it and
// holds "secret"), asks the gate once without writing and once for real, and expects both to
// answer alike: the refusal `want` (none: the write happens) and, for a refusal, "secret" and the
// target unchanged.
TEST(Gate, RefusesWhatTheRulesRefuseAndTheDryRunAgrees) {
  const bool root_user = ::geteuid() == 0;
  struct Row {
    const char* layout;
    std::function<void(const fs::path&)> lay;
    WriteAction action;
    const char* target;
    std::optional<std::error_code> want;
    std::function<void(pylon::Write&, const fs::path&)> more = nullptr;
    bool needs_root = false;  // chown
  };
  const auto none = [](const fs::path&) {};
  const auto link_out = [](const fs::path& t) {
    fs::create_symlink(t / "out/secret", t / "root/l");
  };
  const auto own_link = [](pylon::Write& w, const fs::path&) { w.own_link = true; };
  const auto link_err = pylon::gate_error(GateRule::Link);
  const auto bad_name = pylon::gate_error(GateRule::BadName);
  const Row rows[] = {
      {"a new file", none, WriteAction::Replace, "f", std::nullopt},
      {"a link at the name", link_out, WriteAction::Replace, "l", link_err},
      {"a link at the name, opened", link_out, WriteAction::Open, "l", link_err},
      {"a link at the name, own_link but opened in place", link_out, WriteAction::Open, "l",
       link_err, own_link},
      {"a link at the name, removed", link_out, WriteAction::Remove, "l", link_err},
      {"the user's own link (a dotfiles hook)", link_out, WriteAction::Replace, "l", std::nullopt,
       own_link},
      {"the user's own link, mode", link_out, WriteAction::AddExec, "l", std::nullopt, own_link},
      {"a link whose owner is not its file's",
       [&](const fs::path& t) {
         link_out(t);
         ASSERT_EQ(::lchown((t / "root/l").c_str(), 65534, 65534), 0);
       },
       WriteAction::Replace, "l", pylon::foreign_link(), own_link, true},
      {"a link on the way",
       [](const fs::path& t) { fs::create_directory_symlink(t / "out", t / "root/d"); },
       WriteAction::Replace, "d/secret", link_err},
      {"a link on the way, own_link does not reach it",
       [](const fs::path& t) { fs::create_directory_symlink(t / "out", t / "root/d"); },
       WriteAction::Replace, "d/secret", link_err, own_link},
      {"a climb out", none, WriteAction::Create, "../out/new", bad_name},
      {"an absolute target", none, WriteAction::Replace, "/etc/hostname", bad_name},
      {"a missing way, not to be made", none, WriteAction::Replace, "x/f",
       std::make_error_code(std::errc::no_such_file_or_directory)},
      {"a missing way, made", none, WriteAction::Replace, "x/y/f", std::nullopt,
       [](pylon::Write& w, const fs::path&) { w.make_dirs = true; }},
      {"a mode for a file in a directory still to be made", none, WriteAction::AddExec, "x/f",
       std::make_error_code(std::errc::no_such_file_or_directory),
       [](pylon::Write& w, const fs::path&) { w.make_dirs = true; }},
      {"a missing root, made", [](const fs::path& t) { fs::remove(t / "root"); }, WriteAction::Open,
       "m", std::nullopt, [](pylon::Write& w, const fs::path&) { w.make_root = true; }},
      {"a hard-linked file opened in place",
       [](const fs::path& t) { fs::create_hard_link(t / "out/secret", t / "root/h"); },
       WriteAction::Open, "h", pylon::other_links()},
      {"a hard-linked file's mode",
       [](const fs::path& t) { fs::create_hard_link(t / "out/secret", t / "root/h"); },
       WriteAction::AddExec, "h", pylon::other_links()},
      {"a hard-linked file replaced: the other name keeps its bytes",
       [](const fs::path& t) { fs::create_hard_link(t / "out/secret", t / "root/h"); },
       WriteAction::Replace, "h", std::nullopt},
      {"a FIFO", [](const fs::path& t) { ::mkfifo((t / "root/p").c_str(), 0600); },
       WriteAction::Append, "p", pylon::not_regular_file()},
      {"a taken name for a new file", [](const fs::path& t) { put(t / "root/f", "x"); },
       WriteAction::Create, "f", std::make_error_code(std::errc::file_exists)},
      {"nothing to remove", none, WriteAction::Remove, "f",
       std::make_error_code(std::errc::no_such_file_or_directory)},
      {"a directory of a third user on the way",
       [](const fs::path& t) {
         fs::create_directory(t / "root/d");
         ASSERT_EQ(::chown((t / "root/d").c_str(), 65534, 65534), 0);
       },
       WriteAction::Replace, "d/f", pylon::gate_error(GateRule::OtherOwner), nullptr, true},
      {"a setting in a file its group may change names a place they could not write",
       [](const fs::path& t) {
         put(t / "config", "");
         ::chmod((t / "config").c_str(), 0664);
         ::chmod((t / "root").c_str(), 0755);
       },
       WriteAction::Replace, "f", pylon::gate_error(GateRule::Config),
       [](pylon::Write& w, const fs::path& t) { w.named_by = t / "config"; }, true},
      {"the same setting in a file of the user's alone",
       [](const fs::path& t) {
         put(t / "config", "");
         ::chmod((t / "config").c_str(), 0644);
       },
       WriteAction::Replace, "f", std::nullopt,
       [](pylon::Write& w, const fs::path& t) { w.named_by = t / "config"; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.layout);
    if (row.needs_root && !root_user) {
      continue;
    }
    for (const bool dry : {true, false}) {
      pylon::testing::TempDir tmp;
      const fs::path& t = tmp.path();
      fs::create_directories(t / "root");
      fs::create_directories(t / "out");
      put(t / "out/secret", "secret");
      row.lay(t);
      pylon::Write w;
      w.action = row.action;
      w.root = t / "root";
      w.target = row.target;
      w.text = "new";
      w.dry_run = dry;
      if (row.more) {
        row.more(w, t);
      }
      const auto done = pylon::gate(w);
      SCOPED_TRACE(dry ? "dry run" : "real run");
      if (row.want) {
        ASSERT_FALSE(done.ok());
        EXPECT_EQ(pylon::os_text(done.error().error), pylon::os_text(*row.want));
      } else {
        ASSERT_TRUE(done.ok()) << pylon::refusal_text(done.error());
      }
      if (row.want || dry) {
        EXPECT_EQ(text_of(t / "out/secret"), "secret");
      }
    }
  }
}

TEST(Gate, WritesWhatItSaysAndNoMore) {
  pylon::testing::TempDir tmp;
  const fs::path& t = tmp.path();
  put(t / "hook", "old");
  ::chmod((t / "hook").c_str(), 0640);
  fs::create_symlink(t / "hook", t / "link");
  pylon::Write w;
  w.root = t;
  w.target = "link";
  w.own_link = true;
  w.text = "new";
  ASSERT_TRUE(pylon::gate(w).ok());
  EXPECT_EQ(text_of(t / "hook"), "new");  // through the link, which stays
  EXPECT_TRUE(fs::is_symlink(t / "link"));
  w.action = WriteAction::AddExec;
  ASSERT_TRUE(pylon::gate(w).ok());
  struct stat st {};
  ASSERT_EQ(::stat((t / "hook").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750);  // an execute bit beside each read bit only, mode kept

  w = {};
  w.action = WriteAction::Append;
  w.root = t / "state/deep";
  w.make_root = true;
  w.dir_mode = 0700;
  w.target = "journal";
  const mode_t umask_was = ::umask(002);  // a umask that leaves the group write bit
  auto opened = pylon::gate(w);
  ::umask(umask_was);
  ASSERT_TRUE(opened.ok()) << pylon::refusal_text(opened.error());
  ASSERT_EQ(::write(opened.value().fd.get(), "a\n", 2), 2);
  EXPECT_EQ(text_of(t / "state/deep/journal"), "a\n");
  ASSERT_EQ(::stat((t / "state/deep").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700);  // the root as asked; its parents as mkdir -p makes them
  ASSERT_EQ(::stat((t / "state").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0775);

  const pylon::GateRefusal refused{pylon::gate_error(GateRule::Link), t / "l"};
  EXPECT_EQ(pylon::refusal_text(refused),
            (t / "l").string() + ": a symbolic link, which is not followed");
}

// Another user's file, though its mode and its directory let everyone write: a user other than
// root writes only files of their own (a teammate's hook in a shared directory stays theirs).
TEST(Gate, AnotherUsersFileIsNotWrittenButByRoot) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to be another user";
  }
  pylon::testing::TempDir tmp;
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0777), 0);
  put(tmp / "theirs", "theirs");
  ASSERT_EQ(::chmod((tmp / "theirs").c_str(), 0666), 0);
  for (const WriteAction action : {WriteAction::Replace, WriteAction::Open, WriteAction::Remove}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      pylon::Write w;
      w.action = action;
      w.root = tmp.path();
      w.target = "theirs";
      const bool as_nobody = ::setgid(65534) == 0 && ::setuid(65534) == 0;
      const auto done = pylon::gate(w);
      ::_exit(as_nobody && !done.ok() &&
                      done.error().error == pylon::gate_error(GateRule::OtherOwner)
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << static_cast<int>(action);
  }
  EXPECT_EQ(text_of(tmp / "theirs"), "theirs");
}

TEST(IsSingleName, OnlyOneEntryOfADirectory) {
  const std::pair<std::string, bool> cases[] = {
      {"-home-u-r", true}, {"..x", true},  {"", false},  {".", false},
      {"..", false},       {"a/b", false}, {"/", false}, {std::string("a\0b", 3), false},
  };
  for (const auto& [name, want] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(pylon::is_single_name(name), want);
  }
}

}  // namespace
