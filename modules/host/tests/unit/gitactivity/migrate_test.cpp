#include "gitactivity/migrate.hpp"

#include "temp_dir.hpp"

#include <fstream>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using gitactivity::Marker;
using gitactivity::MigrationStep;

}  // namespace

TEST(PlanMigration, SortsByNameAndSkipsWhatIsAlreadyAsNew) {
  const std::vector<Marker> legacy = {{"-c", 300}, {"-b", 200}, {"-a", 100}, {"-d", 50}};
  const std::vector<Marker> current = {{"-b", 250}, {"-c", 300}, {"-a", 99}, {"-a", 500}};
  const std::vector<MigrationStep> want = {
      {"-a", 100, false},  // only the first marker of a name counts, and it is older
      {"-b", 200, true},   // newer here
      {"-c", 300, true},   // as new
      {"-d", 50, false},   // missing here
  };
  EXPECT_EQ(gitactivity::plan_migration(legacy, current), want);
  EXPECT_TRUE(gitactivity::plan_migration({}, current).empty());
}

TEST(SamePath, IsLexicalComponentEquality) {
  const struct {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"/h/.kestrel/git-activity", "/h/.kestrel/git-activity/", true},
      {"/h/.kestrel/git-activity", "/h//.kestrel/./git-activity", true},
      {"./.kestrel/git-activity", ".kestrel/git-activity", true},
      {"/h/.kestrel/git-activity", "/h/x/../.kestrel/git-activity", false},
      {"/h/.kestrel/git-activity", "h/.kestrel/git-activity", false},
      {"/h/.kestrel/git-activity", "/h/.pylon/git-activity", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(gitactivity::same_path(c.a, c.b), c.same);
    EXPECT_EQ(gitactivity::same_path(c.b, c.a), c.same);
  }
}

TEST(ApplyMigration, NamesThePathThatFailed) {
  const pylon::testing::TempDir tmp;
  std::ofstream(tmp / "file") << "";
  const auto blocked = gitactivity::apply_migration({}, tmp / "file/sub");
  ASSERT_FALSE(blocked.ok());
  EXPECT_TRUE(blocked.error().message().starts_with(
      host::HostError::could_not("create", tmp / "file/sub", "").message()));
  EXPECT_EQ(blocked.error().exit_status(), 1);

  fs::create_directory(tmp / "dir");
  fs::create_directory(tmp / "dir/-a");  // a directory cannot be opened for writing
  const auto failed =
      gitactivity::apply_migration({{"-a", 1, false}, {"-b", 1, false}}, tmp / "dir");
  ASSERT_FALSE(failed.ok());
  EXPECT_TRUE(failed.error().message().starts_with(
      host::HostError::could_not("create", tmp / "dir/-a", "").message()));
  EXPECT_FALSE(fs::exists(tmp / "dir/-b"));  // the first failure stops the copy
}
