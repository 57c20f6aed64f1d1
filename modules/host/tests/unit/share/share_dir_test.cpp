#include "share/share_dir.hpp"

#include "files.hpp"
#include "gate.hpp"
#include "temp_dir.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using pylon::testing::TempDir;
namespace fs = std::filesystem;

}  // namespace

TEST(ShareDirFrom, TakesANonEmptyOverrideVerbatim) {
  EXPECT_EQ(share::share_dir_from(std::nullopt, "/h"), fs::path("/h/work/quaylink-share"));
  EXPECT_EQ(share::share_dir_from("", "/h"), fs::path("/h/work/quaylink-share"));
  EXPECT_EQ(share::share_dir_from("shared", "/h"), fs::path("shared"));
  EXPECT_EQ(share::share_dir_from("~/s", "/h"), fs::path("~/s"));
  EXPECT_EQ(share::share_dir_from(std::nullopt, "."), fs::path("./work/quaylink-share"));
}

TEST(ResolvePushPath, GivesTheRealFileOrRefuses) {
  const TempDir tmp;
  const fs::path real = fs::canonical(tmp.path());
  ASSERT_TRUE(pylon::write_atomic(real / "a.txt", "a"));
  fs::create_directory(real / "dir");
  fs::create_symlink(real / "a.txt", real / "link");

  auto file = share::resolve_push_path((real / "link").string());
  ASSERT_TRUE(file.ok()) << file.error().message();
  EXPECT_EQ(file.value(), real / "a.txt");

  const std::string dir = (real / "dir/.").string();
  auto refused = share::resolve_push_path(dir);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), host::HostError::Kind::Usage);
  EXPECT_EQ(refused.error().message(),
            dir +
                " is a directory — quaylink put moves one file at a time; archive it first (tar "
                "czf dir.tgz " +
                dir + ")");

  auto root = share::resolve_push_path("/");
  ASSERT_FALSE(root.ok());
  EXPECT_EQ(root.error().message(),
            "/ is a directory — quaylink put moves one file at a time; archive it first (tar czf "
            ".tgz /)");

  auto missing = share::resolve_push_path("missing.txt");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), host::HostError::Kind::Failure);
  EXPECT_EQ(missing.error().message(),
            "cannot push missing.txt: No such file or directory (os error 2)");
}
