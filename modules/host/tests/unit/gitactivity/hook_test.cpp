#include "gitactivity/hook.hpp"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace {

using gitactivity::rewrite_hook;
using gitactivity::strip_block;
using gitactivity::strip_hook;

const std::string begin = "# >>> pylon git-activity >>>";
const std::string end = "# <<< pylon git-activity <<<";
const std::string block =
    begin +
    "\ncommand -v pylon-host >/dev/null 2>&1 && pylon-host git-activity record >/dev/null 2>&1 "
    "|| true\n" +
    end + "\n";
const std::string legacy_begin = "# >>> git-activity recorder >>>";
const std::string legacy_end = "# <<< git-activity recorder <<<";

}  // namespace

TEST(StripBlock, RemovesEveryTerminatedBlockAndNormalisesEndings) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"\n", "\n"},
      {"a", "a\n"},
      {"a\r\nb\r\n", "a\nb\n"},
      {"a\r\r\nb\r", "a\nb\n"},  // every CR before the line feed goes with the ending
      {"a\rb\n", "a\rb\n"},      // a CR inside a line is content
      {"a\nB\nx\nE\nb\n", "a\nb\n"},
      {"B\nx\nE\nkeep\nB\nE\n", "keep\n"},     // every block, not only the first
      {"E\na\n", "E\na\n"},                    // an end outside a block is an ordinary line
      {"B  \t\nx\nE \r\na\n", "a\n"},          // trailing white space still delimits
      {"  B\nx\nE\n", "  B\nx\nE\n"},          // an indented marker does not
      {"a  \nB\nE\n", "a  \n"},                // kept lines keep their trailing spaces
      {"a\nB\nx\ny", "a\nB\nx\ny\n"},          // no end after the begin: nothing is dropped
      {"B\nx\nE\nB\ny\n", "B\ny\n"},           // a terminated block goes, the stray begin stays
      {"B\nu\nB\nE\nz\n", "B\nu\nz\n"},        // an end pairs with the nearest begin above it
      {"E\nB\nu\nB\nx\nE\nE\nB\n", "E\nB\n"},  // pairs nest: a second pass finds none
      {"B\u00a0\nE\u3000\nz\n", "z\n"},        // white space is Unicode white space
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(strip_block(text, "B", "E"), want);
  }
}

TEST(StripHook, AbsentOnlyWhenNoBlockWasRemoved) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"", std::nullopt},
      {"#!/bin/sh\necho hi\n", std::nullopt},
      // no block: left for the caller to keep byte for byte, even when not normalised
      {"#!/bin/sh\r\necho hi", std::nullopt},
      {"#!/bin/sh\n" + begin + "\necho hi\n", std::nullopt},  // unterminated
      {"#!/bin/sh\n" + block, "#!/bin/sh\n"},
      {block, ""},
      {"#!/bin/sh\r\n" + legacy_begin + "\r\nold\r\n" + legacy_end + "\r\necho hi\r\n",
       "#!/bin/sh\necho hi\n"},
      {"#!/bin/bash\n" + block + "echo a\n" + legacy_begin + "\nold\n" + legacy_end + "\n",
       "#!/bin/bash\necho a\n"},
      // a compiled hook is never rewritten: it may be only the head read_hook gave
      {"\x7f"
       "ELF\n" +
           block,
       std::nullopt},
      {"echo\n" + block + std::string(1, '\0'), std::nullopt},
      {"#!/bin/sh\n" + block + std::string(1, '\0'), "#!/bin/sh\n" + std::string(1, '\0') + "\n"},
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(strip_hook(text), want);
  }
}

TEST(RewriteHook, PutsOneBlockBelowTheInterpreterLine) {
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {std::nullopt, "#!/bin/sh\n" + block},
      {"", block},
      {"\n", block + "\n"},
      {"#!/bin/bash\nmake lint\n", "#!/bin/bash\n" + block + "make lint\n"},
      {"#!/bin/bash", "#!/bin/bash\n" + block},
      {"make lint\n", block + "make lint\n"},
      {"#\nmake lint\n", block + "#\nmake lint\n"},  // "#" alone is no interpreter line
      {"#!/bin/sh\nmake lint\n" + block, "#!/bin/sh\n" + block + "make lint\n"},
      {"#!/bin/sh\r\n" + legacy_begin + "\r\nold\r\n" + legacy_end + "\r\necho a\r\n",
       "#!/bin/sh\n" + block + "echo a\n"},
      {"#!/bin/sh\n" + begin + "   \nold\n" + end + " \necho a\n",
       "#!/bin/sh\n" + block + "echo a\n"},
      {"#!/bin/sh\n  " + begin + "\necho a\n", "#!/bin/sh\n" + block + "  " + begin + "\necho a\n"},
      // a user's stray begin marker keeps every line after it, and still gets exactly one block
      {"#!/bin/sh\n" + begin + "\necho a\necho b\n",
       "#!/bin/sh\n" + block + begin + "\necho a\necho b\n"},
      {begin + "\necho a\n", block + begin + "\necho a\n"},
  };
  for (const auto& [existing, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(existing));
    EXPECT_EQ(rewrite_hook(existing), want);
  }
}

TEST(RewriteHook, IsIdempotentAndStripHookUndoesIt) {
  const std::optional<std::string> inputs[] = {
      std::nullopt,
      "",
      "\r",
      "\r\n\r\n",
      "#!/bin/sh",
      "#!/bin/sh\r\nfoo\r",
      "#!/bin/sh\nfoo\r\r\r\n",
      "echo a\n" + block,
      "#!/bin/sh\n" + block + block + "x\n",
      "#!/bin/sh\n" + begin + "\n",
      "#!/bin/sh\n" + end + "\n" + begin + "\nx\n",
      "#!/bin/sh\n" + legacy_begin + "\n" + begin + "\nx\n" + end + "\n",
      "#!/bin/sh\n" + begin + "\nu\n" + block + end + "\n" + end + "\n",
      "\xff\xfe#!\n" + block + "\x80\n",
      "#!/bin/sh\n" + begin + "\n" + legacy_begin + "\nx\n" + legacy_end + "\n",
      legacy_begin + "\n" + begin + "\n" + legacy_end + "\n" + end + "\ny\n",
      "#!/usr/bin/env bash\n\n  \nexit 0\n",
  };
  for (const auto& existing : inputs) {
    SCOPED_TRACE(testing::PrintToString(existing));
    const std::string once = rewrite_hook(existing);
    EXPECT_EQ(rewrite_hook(once), once);
    EXPECT_TRUE(gitactivity::holds_block(once));
    // exactly one block, found and removed by disable
    const std::optional<std::string> stripped = strip_hook(once);
    ASSERT_TRUE(stripped.has_value());
    EXPECT_FALSE(gitactivity::holds_block(*stripped));
    EXPECT_EQ(strip_hook(*stripped), std::nullopt);
    EXPECT_EQ(rewrite_hook(*stripped), once);
  }
}

TEST(HoldsBlock, TheThreeLinesInARowWithOnlyTrailingSpaceAside) {
  const std::string command =
      "command -v pylon-host >/dev/null 2>&1 && pylon-host git-activity record >/dev/null 2>&1 "
      "|| true";
  const std::pair<std::string, bool> cases[] = {
      {"#!/bin/sh\r\n" + begin + " \r\n" + command + "\t\r\r\n" + end + "\r\n", true},
      {"x\n" + begin + "\n" + command + "\n" + end, true},
      {begin + "\n# " + command + "\n" + end + "\n", false},  // commented out
      {begin + "\n" + command.substr(0, command.size() - 4) + "false\n" + end + "\n", false},
      {begin + "\n" + command + "\n\n" + end + "\n", false},
      {"#!/bin/sh\n" + begin + "\n" + command, false},  // cut before its end line
      {legacy_begin + "\n" + command + "\n" + legacy_end + "\n", false},
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(gitactivity::holds_block(text), want);
  }
}

TEST(ForeignInterpreter, NothingForAShellElseWhatRunsTheHook) {
  using namespace std::string_literals;
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"", std::nullopt},
      {"make lint\n", std::nullopt},
      {"#!\n", std::nullopt},
      {"#!  \r\n", std::nullopt},
      {"#!/bin/sh", std::nullopt},
      {"#! /bin/bash -e\r\n", std::nullopt},
      {"#!/usr/local/bin/zsh -f\n", std::nullopt},
      {"#!/bin/busybox sh\n", std::nullopt},
      {"#!/bin/ash\n", std::nullopt},
      {"#!/usr/bin/env dash\n", std::nullopt},
      {"#!/usr/bin/env -S LC_ALL=C -u X ksh -e\n", std::nullopt},
      {"#!/usr/bin/env -Smksh\n", std::nullopt},
      {"#!/usr/bin/env -- yash\n", std::nullopt},
      {"#!/bin/sh\n\xff\0\n"s, std::nullopt},  // the line decides, not the bytes after it
      {"#!/usr/bin/python3\nprint()\n", "python3"},
      {"#!/usr/bin/env node\n", "node"},
      {"#!/usr/bin/env -S -i perl -w\n", "perl"},
      {"#!/usr/bin/env -u sh fish\n", "fish"},  // -u takes "sh" as its value
      {"#!/usr/bin/env\n", "env"},
      {"#!/bin/shx\n", "shx"},
      {"#!/usr/bin/\xffsh\n", "\xEF\xBF\xBDsh"},
      {"\x7f\x45LF\x02\x01", "a compiled program"},
      {"\xcf\xfa\xed\xfe\x07", "a compiled program"},
      {"echo a\0b\n"s, "a compiled program"},
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(gitactivity::foreign_interpreter(text), want);
  }
}
