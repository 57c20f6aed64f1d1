#include "gitactivity/global_hooks.hpp"

#include "gitactivity/hook.hpp"

#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace gitactivity;
using namespace std::string_literals;

const std::string cmd(global_hooks()[0].command);
const std::string head_cmd(global_hooks()[1].command);
const std::string name = "hook.pylon-git-activity";

// Everything enable --global writes, as git lists it back, and more after it.
std::vector<ConfigEntry> ours(std::vector<ConfigEntry> more = {}) {
  std::vector<ConfigEntry> entries = {{"global", name + ".command", cmd},
                                      {"global", name + "-head.command", head_cmd},
                                      {"global", name + ".event", "post-commit"},
                                      {"global", name + "-head.event", "post-merge"},
                                      {"global", name + "-head.event", "post-rewrite"},
                                      {"global", name + "-head.event", "post-applypatch"}};
  entries.insert(entries.end(), more.begin(), more.end());
  return entries;
}

// The keys of the writes, in order; or the refusal.
std::string keys(const std::vector<ConfigWrite>& writes) {
  std::string text;
  for (const ConfigWrite& write : writes) {
    text += write[write.size() - 2] + " ";
  }
  return text;
}

}  // namespace

TEST(GlobalHooks, RunTheBlocksCommandAndAreReadBack) {
  EXPECT_EQ(cmd, recorder_line());
  // scope NUL key LF value NUL, as git 2.55 prints them; a key without a value has no LF
  EXPECT_EQ(parse_config_entries("global\0hook.p.command\necho \"$@\"\0local\0hook.p.enabled\0"s),
            (std::vector<ConfigEntry>{{"global", "hook.p.command", "echo \"$@\""},
                                      {"local", "hook.p.enabled", ""}}));
  EXPECT_EQ(parse_config_entries("global\0hook.p.command"s), std::nullopt);
}

TEST(PlanGlobal, WritesWhatIsMissingCommandsFirstAndRefusesWhatDiffers) {
  auto first = ours();
  first.erase(first.begin() + 1);  // a run stopped after the first command
  const struct {
    std::vector<ConfigEntry> entries;
    std::string keys;  // or the refusal's part
  } rows[] = {
      {{},
       name + ".command " + name + "-head.command " + name + ".event " + name + "-head.event " +
           name + "-head.event " + name + "-head.event "},
      {ours(), ""},  // twice changes nothing
      {first, name + "-head.command "},
      {{{"local", name + ".command", cmd}}, name + ".command " + name + "-head.command"},
      {ours({{"local", name + ".enabled", "false"}}), ""},  // an opt-out is no conflict
      {ours({{"global", name + ".command", "true"}}), "pylon-host's: " + name + ".command=true (t"},
      {ours({{"global", name + ".event", "post-merge"}}), name + ".event=post-merge"},
      {ours({{"global", name + "-x.event", "post-commit"}}), name + "-x.event=post-commit"},
      {ours({{"global", name + ".enabled", "false"}}), name + ".enabled=false"},
  };
  for (const auto& row : rows) {
    const auto plan = plan_global_enable(row.entries, "/h/.gitconfig");
    const std::string got = plan ? keys(plan.value()) : plan.error().message();
    EXPECT_TRUE(row.keys.empty() ? got.empty() : got.find(row.keys) != std::string::npos)
        << row.keys << "\n"
        << got;
  }
}

TEST(PlanGlobal, DisableRemovesExactlyOursEventsFirst) {
  const auto removal = plan_global_disable(ours({{"global", name + ".command", "true"}}));
  EXPECT_EQ(keys(removal.writes), name + ".event " + name + "-head.event " + name + "-head.event " +
                                      name + "-head.event " + name + ".command " + name +
                                      "-head.command ");
  EXPECT_EQ(removal.writes[5], (ConfigWrite{"--fixed-value", "--unset-all", name + "-head.command",
                                            head_cmd}));  // exactly ours, not the other command
  EXPECT_EQ(removal.left, std::vector<std::string>{name + ".command=true"});
}

TEST(PlanOptOut, TurnsBothOffOrBackOnInTheRepositorysOwnFile) {
  const ConfigEntry off{"local", name + ".enabled", "false"};
  const ConfigEntry head_off{"local", name + "-head.enabled", "false"};
  const ConfigEntry on_after{"local", name + ".enabled", "true"};
  const std::tuple<std::vector<ConfigEntry>, bool, std::size_t> rows[] = {
      {ours(), true, 2},
      {{off, head_off}, true, 0},
      {{off, on_after, head_off}, true, 1},  // the last value is the one git reads
      {{{"global", off.key, "false"}}, true, 2},
      {{off, head_off}, false, 2},
      {{on_after}, false, 0},
  };
  for (const auto& [entries, turn_off, writes] : rows) {
    EXPECT_EQ(plan_opt_out(entries, turn_off).size(), writes) << entries.size() << turn_off;
  }
}

TEST(GlobalConfigFile, WhereGitConfigGlobalWrites) {
  using Opt = std::optional<std::string>;
  const struct {
    Opt global, home, xdg;
    bool user_readable, xdg_readable;
    std::string file;  // or the refusal's part
  } rows[] = {
      {"/x/g", std::nullopt, std::nullopt, false, false, "/x/g"},
      {"", "/h", std::nullopt, true, false, "GIT_CONFIG_GLOBAL is set but empty"},
      {std::nullopt, std::nullopt, std::nullopt, true, true, "HOME is not set"},
      {std::nullopt, "/h", std::nullopt, false, false, "/h/.gitconfig"},
      {std::nullopt, "/h", std::nullopt, false, true, "/h/.config/git/config"},
      {std::nullopt, "/h", "/x", false, true, "/x/git/config"},
      {std::nullopt, "/h", "", false, true, "/h/.config/git/config"},
  };
  for (const auto& row : rows) {
    const auto file = global_config_file(row.global, row.home, row.xdg, [&](const auto& p) {
      return p.filename() == ".gitconfig" ? row.user_readable : row.xdg_readable;
    });
    EXPECT_EQ((file ? file.value().string() : file.error().message()).find(row.file), 0U)
        << row.file;
  }
}

TEST(JudgeHookSupport, AsksGitNotItsVersion) {
  const std::tuple<int, std::string, bool, bool> rows[] = {
      {129, "", false, false},  // 2.39 in a repository: no `hook list`
      {128, "", false, false},  // 2.39 elsewhere: `git hook` needs a repository
      {1, "", true, false},     // outside a repository git lists no configured hook
      {0, "disabled\tpylon-host-probe\n", true, true},
      {0, "pylon-host-probe\n", true, false},  // listed as running: the opt-out is not honoured
      {0, "disabled\tother\npylon-host-probe\n", true, false},
  };
  for (const auto& [code, output, configured, opt_out] : rows) {
    const HookSupport got = judge_hook_support(code, output);
    EXPECT_EQ(got.configured, configured) << code << output;
    EXPECT_EQ(got.opt_out, opt_out) << code << output;
  }
}
