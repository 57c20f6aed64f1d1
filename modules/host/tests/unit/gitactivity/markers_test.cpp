#include "gitactivity/markers.hpp"

#include "files.hpp"
#include "temp_dir.hpp"
#include "text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif
#include <unistd.h>

#include <fstream>
#include <tuple>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using gitactivity::Marker;
using pylon::testing::TempDir;

struct Times {
  std::int64_t accessed;
  std::int64_t modified;
};

Times times_of(const fs::path& file) {
  struct stat st {};
  EXPECT_EQ(::lstat(file.c_str(), &st), 0) << file;
#ifdef __APPLE__
  return {st.st_atimespec.tv_sec, st.st_mtimespec.tv_sec};
#else
  return {st.st_atim.tv_sec, st.st_mtim.tv_sec};
#endif
}

std::int64_t mtime_of(const fs::path& file) {
  return times_of(file).modified;
}

void touch(const fs::path& file, std::int64_t epoch) {
  std::ofstream(file) << "";
  const struct timespec times[2] = {{static_cast<std::time_t>(epoch), 0},
                                    {static_cast<std::time_t>(epoch), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << file;
}

}  // namespace

TEST(EncodeMarker, EverySlashBecomesAHyphenAndNothingElseChanges) {
  EXPECT_EQ(gitactivity::encode_marker("/Users/dev/work/my-repo"), "-Users-dev-work-my-repo");
  EXPECT_EQ(gitactivity::encode_marker("/"), "-");
  EXPECT_EQ(gitactivity::encode_marker("/a b/.c/\xC3\xA9//"), "-a b-.c-\xC3\xA9--");
  EXPECT_EQ(gitactivity::encode_marker("rel"), "rel");
}

TEST(MarkerDirFrom, OverrideThenFleetHomeThenLegacy) {
  using Opt = std::optional<std::string>;
  using OptPath = std::optional<fs::path>;
  const std::tuple<Opt, OptPath, fs::path, fs::path> cases[] = {
      {"rel/markers", "/fleet", "/home/dev", "rel/markers"},
      {"", "/fleet", "/home/dev", "/fleet/git-activity"},
      {std::nullopt, "/home/dev/.pylon", "/home/dev", "/home/dev/.pylon/git-activity"},
      {std::nullopt, std::nullopt, "/home/dev", "/home/dev/.kestrel/git-activity"},
      {"", std::nullopt, ".", "./.kestrel/git-activity"},
  };
  for (const auto& [override_dir, fleet, home, want] : cases) {
    SCOPED_TRACE(want.string());
    EXPECT_EQ(gitactivity::marker_dir_from(override_dir, fleet, home).string(), want.string());
  }
}

TEST(HasHome, AnyOfTheThreeSetAndNotEmpty) {
  EXPECT_FALSE(gitactivity::has_home(std::nullopt, "", std::nullopt));
  EXPECT_TRUE(gitactivity::has_home("/m", std::nullopt, std::nullopt));
  EXPECT_TRUE(gitactivity::has_home("", "/fleet", ""));
  EXPECT_TRUE(gitactivity::has_home(std::nullopt, std::nullopt, "/home/dev"));
}

TEST(WriteMarker, CreatesTheDirectoryAndEmptiesTheFileAndSetsBothTimes) {
  const TempDir tmp;
  const fs::path dir = tmp / "deep/markers";
  const auto written = gitactivity::write_marker(dir, "/srv/app", 1700000000);
  ASSERT_TRUE(written.ok()) << pylon::os_text(written.error());
  EXPECT_EQ(written.value(), dir / "-srv-app");
  EXPECT_EQ(mtime_of(written.value()), 1700000000);
  EXPECT_EQ(times_of(written.value()).accessed, 1700000000);

  std::ofstream(written.value()) << "left over";
  const auto again = gitactivity::write_marker(dir, "/srv/app", 1600000000);  // older is fine
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(fs::file_size(again.value()), 0u);
  EXPECT_EQ(mtime_of(again.value()), 1600000000);

  const std::int64_t before = gitactivity::now_epoch();
  ASSERT_TRUE(gitactivity::write_marker(dir, "/srv/now", std::nullopt).ok());
  EXPECT_GE(mtime_of(dir / "-srv-now"), before);
  EXPECT_LE(mtime_of(dir / "-srv-now"), gitactivity::now_epoch());
}

TEST(WriteMarker, ReportsTheFailingStep) {
  const TempDir tmp;
  std::ofstream(tmp / "file") << "";
  const auto under_file = gitactivity::write_marker(tmp / "file/markers", "/a", 1);
  ASSERT_FALSE(under_file.ok());

  if (::geteuid() == 0) {  // mknod needs root; the node is made in this test's own directory
    ASSERT_EQ(::mknod((tmp / "-dev").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);  // as /dev/null
    const auto device = gitactivity::write_marker(tmp.path(), "/dev", 1);
    ASSERT_FALSE(device.ok());
    EXPECT_EQ(device.error(), pylon::not_regular_file());
  }
}

TEST(ReadMarkers, NewestFirstThenNameWithTimesBefore1970AsZero) {
  const TempDir tmp;
  touch(tmp / "-b", 100);
  touch(tmp / "-a", 100);
  touch(tmp / "-new", 200);
  touch(tmp / "-zero", 0);
  touch(tmp / "-old", -86400);
  touch(tmp / ".DS_Store", 300);
  touch(tmp / ".tmp", 300);
  fs::create_directory(tmp / "-dir");
  fs::last_write_time(tmp / "-dir", fs::file_time_type::clock::from_sys(
                                        std::chrono::sys_seconds(std::chrono::seconds(50))));
  fs::create_symlink(tmp / "nowhere", tmp / "-link");  // its own time, not the target's

  const std::vector<Marker> markers = gitactivity::read_markers(tmp.path());
  std::vector<std::pair<std::string, std::int64_t>> got;
  for (const Marker& m : markers) {
    if (m.name != "-link") {
      got.emplace_back(m.name, m.epoch);
    }
  }
  const std::vector<std::pair<std::string, std::int64_t>> want = {
      {"-new", 200}, {"-a", 100}, {"-b", 100}, {"-dir", 50}, {"-old", 0}, {"-zero", 0}};
  EXPECT_EQ(got, want);
  EXPECT_EQ(markers.size(), want.size() + 1);

  EXPECT_TRUE(gitactivity::read_markers(tmp / "missing").empty());
  EXPECT_TRUE(gitactivity::read_markers(tmp / "-new").empty());  // a file, not a directory
}

TEST(ReadMarkers, NamesAreTheirOwnBytes) {
  const TempDir tmp;
  touch(tmp / "-a\xFF", 5);
  const std::vector<Marker> markers = gitactivity::read_markers(tmp.path());
  ASSERT_EQ(markers.size(), 1u);
  EXPECT_EQ(markers[0].name, "-a\xFF");  // a lossy name would migrate to a twin
  EXPECT_EQ(markers[0].epoch, 5);
}

TEST(ResolveFrom, ShortestFirstComponentWinsAndOnlyDirectoriesCount) {
  const TempDir tmp;
  fs::create_directories(tmp / "work/my/repo");
  fs::create_directories(tmp / "work/my-repo");
  fs::create_directories(tmp / "work/a-b");
  std::ofstream(tmp / "work/a") << "a file, not a directory";
  fs::create_directories(tmp / "real/x");
  fs::create_directory_symlink(tmp / "real", tmp / "work/link");
  fs::create_directory_symlink(".", tmp / "h");  // each name has many spellings: h/h, h-h
  fs::create_directory_symlink(".", tmp / "h-h");

  const auto resolve = [&](std::vector<std::string> segments) {
    gitactivity::DirectoryProbe probe;
    return gitactivity::resolve_from(tmp.path(), segments, probe);
  };
  EXPECT_EQ(resolve({"work", "my", "repo"}), tmp / "work/my/repo");
  EXPECT_EQ(resolve({"work", "a", "b"}), tmp / "work/a-b");
  EXPECT_EQ(resolve({"work", "link", "x"}), tmp / "work/link/x");  // links followed, not resolved
  EXPECT_EQ(resolve({"work", "gone"}), std::nullopt);
  EXPECT_EQ(resolve({"work", "a"}), std::nullopt);
  EXPECT_EQ(resolve({}), tmp.path());
  std::vector<std::string> many(36, "h");
  many.emplace_back("work");
  EXPECT_EQ(resolve(many),
            tmp / "h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/h/work");
  many.back() = "gone";
  EXPECT_EQ(resolve(many), std::nullopt);  // in well under a second: tried once per directory

  fs::remove_all(tmp / "work/my/repo");
  EXPECT_EQ(resolve({"work", "my", "repo"}), tmp / "work/my-repo");  // backtracks
}

TEST(ResolveMarker, NeedsALeadingHyphenAndAnExistingDirectory) {
  const auto resolve = [](std::string_view name) {
    gitactivity::DirectoryProbe probe;
    return gitactivity::resolve_marker(name, probe);
  };
  EXPECT_EQ(resolve("-"), fs::path("/"));
  EXPECT_EQ(resolve("tmp"), std::nullopt);
  const TempDir tmp;
  fs::create_directories(tmp / "my-repo");
  const std::string name = gitactivity::encode_marker(tmp.path().string());
  EXPECT_EQ(resolve(name + "-my-repo"), tmp / "my-repo");
  EXPECT_EQ(resolve(name + "-my-repo-"), tmp / "my-repo/");  // empty segment
  EXPECT_EQ(resolve(name + "-gone"), std::nullopt);
}

TEST(ResolveMarker, OneProbeServesAWholeListing) {
  const TempDir tmp;
  fs::create_directories(tmp / "team/app-1");
  fs::create_directories(tmp / "team-2/app");
  const std::string base = gitactivity::encode_marker(tmp.path().string());
  gitactivity::DirectoryProbe probe;
  // the second name reuses what the first learnt ("team/app" is no directory), and a path that
  // was asked about as missing is not taken for present later
  EXPECT_EQ(gitactivity::resolve_marker(base + "-team-app-1", probe), tmp / "team/app-1");
  EXPECT_EQ(gitactivity::resolve_marker(base + "-team-2-app", probe), tmp / "team-2/app");
  EXPECT_EQ(gitactivity::resolve_marker(base + "-team-app", probe), std::nullopt);
  EXPECT_EQ(gitactivity::resolve_marker(base + "-team-app-1", probe), tmp / "team/app-1");
  // the same letters with the hyphens elsewhere are another question
  EXPECT_EQ(gitactivity::resolve_marker(base + "-team2-app", probe), std::nullopt);
  EXPECT_EQ(gitactivity::resolve_marker(base + "-team-2-app", probe), tmp / "team-2/app");
}
