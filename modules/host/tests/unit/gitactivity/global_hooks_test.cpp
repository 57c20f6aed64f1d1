#include "gitactivity/global_hooks.hpp"

#include "gitactivity/hook.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace gitactivity;
using namespace std::string_literals;

const std::string cmd = std::string(global_hooks()[0].command);
const std::string head_cmd = std::string(global_hooks()[1].command);

// Everything enable --global writes, as git lists it back.
std::vector<ConfigEntry> ours() {
  return {{"global", "hook.pylon-git-activity.command", cmd},
          {"global", "hook.pylon-git-activity-head.command", head_cmd},
          {"global", "hook.pylon-git-activity.event", "post-commit"},
          {"global", "hook.pylon-git-activity-head.event", "post-merge"},
          {"global", "hook.pylon-git-activity-head.event", "post-rewrite"},
          {"global", "hook.pylon-git-activity-head.event", "post-applypatch"}};
}

std::vector<ConfigEntry> with(std::vector<ConfigEntry> entries, const ConfigEntry& more) {
  entries.push_back(more);
  return entries;
}

std::string joined(const std::vector<ConfigWrite>& writes) {
  std::string text;
  for (const ConfigWrite& write : writes) {
    for (const std::string& word : write) {
      text += word + " ";
    }
    text += "| ";
  }
  return text;
}

}  // namespace

TEST(GlobalHooks, RunTheBlocksCommandAndAreReadBack) {
  EXPECT_EQ(cmd, recorder_line());
  // scope NUL key LF value NUL, as git 2.55 prints them; a key without a value has no LF
  const std::string listing = "global\0hook.p.command\necho P \"$@\"\0local\0hook.p.enabled\0"s;
  EXPECT_EQ(parse_config_entries(listing),
            (std::vector<ConfigEntry>{{"global", "hook.p.command", "echo P \"$@\""},
                                      {"local", "hook.p.enabled", ""}}));
  EXPECT_EQ(parse_config_entries("global\0hook.p.command"s), std::nullopt);
}

TEST(PlanGlobal, WritesWhatIsMissingAndRefusesWhatDiffers) {
  auto first = ours();
  first.erase(first.begin() + 1);  // a run stopped after the first command
  const struct {
    const char* what;
    std::vector<ConfigEntry> entries;
    std::string writes;  // or the refusal's part
  } rows[] = {
      {"nothing yet: commands before events",
       {},
       "hook.pylon-git-activity.command " + cmd + " | hook.pylon-git-activity-head.command " +
           head_cmd +
           " | --add hook.pylon-git-activity.event post-commit | --add "
           "hook.pylon-git-activity-head.event post-merge | --add "
           "hook.pylon-git-activity-head.event post-rewrite | --add "
           "hook.pylon-git-activity-head.event post-applypatch | "},
      {"all there: twice changes nothing", ours(), ""},
      {"one command missing", first, "hook.pylon-git-activity-head.command " + head_cmd + " | "},
      {"the same in another scope is not there",
       {{"local", "hook.pylon-git-activity.command", cmd}},
       "hook.pylon-git-activity.command"},
      {"a command of someone else's",
       with(ours(), {"global", "hook.pylon-git-activity.command", "true"}),
       "hook.pylon-git-activity.command=true (take"},
      {"our event under the other name",
       with(ours(), {"global", "hook.pylon-git-activity.event", "post-merge"}),
       "differ from pylon-host's: hook.pylon-git-activity.event=post-merge"},
      {"a name that begins as ours",
       with(ours(), {"global", "hook.pylon-git-activity-x.event", "post-commit"}),
       "hook.pylon-git-activity-x.event=post-commit"},
      {"turned off globally", with(ours(), {"global", "hook.pylon-git-activity.enabled", "false"}),
       "hook.pylon-git-activity.enabled=false"},
      {"another scope's opt-out is no conflict",
       with(ours(), {"local", "hook.pylon-git-activity.enabled", "false"}), ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const auto plan = plan_global_enable(row.entries, "/h/.gitconfig");
    const std::string got = plan ? joined(plan.value()) : plan.error().message();
    if (row.writes.empty()) {
      EXPECT_EQ(got, "");
    } else {
      EXPECT_NE(got.find(row.writes), std::string::npos) << got;
    }
  }
}

TEST(PlanGlobal, DisableRemovesExactlyOursEventsFirst) {
  const auto removal =
      plan_global_disable(with(ours(), {"global", "hook.pylon-git-activity.command", "true"}));
  ASSERT_EQ(removal.writes.size(), 6U);
  EXPECT_EQ(removal.writes[0], (ConfigWrite{"--fixed-value", "--unset-all",
                                            "hook.pylon-git-activity.event", "post-commit"}));
  EXPECT_EQ(removal.writes[5], (ConfigWrite{"--fixed-value", "--unset-all",
                                            "hook.pylon-git-activity-head.command", head_cmd}));
  EXPECT_EQ(removal.left, std::vector<std::string>{"hook.pylon-git-activity.command=true"});
  EXPECT_TRUE(plan_global_disable({}).writes.empty());
}

TEST(PlanOptOut, TurnsBothOffOrBackOnInTheRepositorysOwnFile) {
  const ConfigEntry off{"local", "hook.pylon-git-activity.enabled", "false"};
  const ConfigEntry head_off{"local", "hook.pylon-git-activity-head.enabled", "false"};
  const ConfigEntry on_after{"local", "hook.pylon-git-activity.enabled", "true"};
  const struct {
    const char* what;
    std::vector<ConfigEntry> entries;
    bool off;
    std::size_t writes;
  } rows[] = {
      {"none yet", ours(), true, 2},
      {"both off already", {off, head_off}, true, 0},
      {"a later true wins over the false", {off, on_after, head_off}, true, 1},
      {"off globally is not off here", {{"global", off.key, "false"}}, true, 2},
      {"on again: both taken out", {off, head_off}, false, 2},
      {"on again: nothing of ours", {on_after}, false, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(plan_opt_out(row.entries, row.off).size(), row.writes);
  }
  EXPECT_TRUE(global_hooks_set(ours()));
  EXPECT_FALSE(global_hooks_set(
      std::vector<ConfigEntry>{{"local", "hook.pylon-git-activity.command", cmd}}));
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
      {std::nullopt, "", std::nullopt, true, true, "HOME is not set"},
      {std::nullopt, "/h", std::nullopt, false, false, "/h/.gitconfig"},
      {std::nullopt, "/h", std::nullopt, true, true, "/h/.gitconfig"},
      {std::nullopt, "/h", std::nullopt, false, true, "/h/.config/git/config"},
      {std::nullopt, "/h", "/x", false, true, "/x/git/config"},
      {std::nullopt, "/h", "", false, true, "/h/.config/git/config"},
  };
  for (const auto& row : rows) {
    const auto file = global_config_file(row.global, row.home, row.xdg, [&](const auto& p) {
      return p.filename() == ".gitconfig" ? row.user_readable : row.xdg_readable;
    });
    EXPECT_NE((file ? file.value().string() : file.error().message()).find(row.file),
              std::string::npos)
        << row.file;
  }
}

TEST(JudgeHookSupport, AsksGitNotItsVersion) {
  const struct {
    int code;
    std::string output;
    bool configured, opt_out;
  } rows[] = {
      {129, "", false, false},  // 2.39 in a repository: no `hook list`
      {128, "", false, false},  // 2.39 elsewhere: `git hook` needs a repository
      {1, "", true, false},     // outside a repository git lists no configured hook
      {0, "disabled\tpylon-host-probe\n", true, true},
      {0, "global\tmine\ncommand\tdisabled\tpylon-host-probe\n", true, true},
      {0, "pylon-host-probe\n", true, false},  // listed as running: the opt-out is not honoured
      {0, "disabled\tother\npylon-host-probe\n", true, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.output);
    const HookSupport got = judge_hook_support(row.code, row.output);
    EXPECT_EQ(got.configured, row.configured);
    EXPECT_EQ(got.opt_out, row.opt_out);
  }
}
