#include "config/home.hpp"

#include "temp_dir.hpp"

#include <fstream>
#include <tuple>

#include <gtest/gtest.h>

namespace {

using config::home::home_base;
using config::home::home_base_live;
using Opt = std::optional<std::string>;
using pylon::testing::ScopedEnv;
using pylon::testing::TempDir;

}  // namespace

TEST(HomeBase, PylonHomeThenDotPylonThenNothing) {
  const std::tuple<Opt, Opt, bool, std::optional<std::filesystem::path>> cases[] = {
      {"/srv/fleet", "/home/dev", true, "/srv/fleet"},  // not tested for existence
      {"rel/~x", std::nullopt, false, "rel/~x"},        // neither resolved nor expanded
      {"", "/home/dev", true, "/home/dev/.pylon"},      // empty counts as unset
      {"", "/home/dev", false, std::nullopt},
      {std::nullopt, "/home/dev/", true, "/home/dev/.pylon"},  // one separator, not two
      {std::nullopt, std::nullopt, true, std::nullopt},        // no HOME, no ~/.pylon
  };
  for (const auto& [pylon_home, home, is_dir, want] : cases) {
    SCOPED_TRACE(pylon_home.value_or("<unset>") + " | " + home.value_or("<unset>"));
    const auto got = home_base(pylon_home, home, is_dir);
    EXPECT_EQ(got, want);
    if (got && want) {
      EXPECT_EQ(got->string(), want->string());  // path == ignores doubled separators
    }
  }
}

TEST(HomeBaseLive, DotPylonCountsOnlyAsADirectoryFollowingLinks) {
  const TempDir tmp;
  const ScopedEnv home("HOME", tmp.path().string());
  const ScopedEnv pylon_home("PYLON_HOME", std::nullopt);
  EXPECT_EQ(home_base_live(), std::nullopt);

  std::filesystem::create_directory(tmp / "real");
  std::filesystem::create_directory_symlink(tmp / "real", tmp / ".pylon");
  EXPECT_EQ(home_base_live(), tmp / ".pylon");

  std::filesystem::remove(tmp / ".pylon");
  { std::ofstream(tmp / ".pylon") << "not a directory"; }
  EXPECT_EQ(home_base_live(), std::nullopt);

  const ScopedEnv set("PYLON_HOME", "/nowhere/fleet");
  EXPECT_EQ(home_base_live(), std::filesystem::path("/nowhere/fleet"));
}
