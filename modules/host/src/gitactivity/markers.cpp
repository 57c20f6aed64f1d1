#include "gitactivity/markers.hpp"

#include "config/home.hpp"
#include "env.hpp"
#include "files.hpp"
#include "gate.hpp"
#include "gitactivity/owner.hpp"
#include "project/store.hpp"
#include "text.hpp"
#include "unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/attr.h>
#endif

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

static_assert(sizeof(std::time_t) >= sizeof(std::int64_t), "marker times are 64-bit");

// A marker is a file of ours: a regular file with no other name, whose bytes and times are no one
// else's.
std::optional<std::error_code> not_ours(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) {
    return pylon::not_regular_file();
  }
  if (st.st_nlink > 1) {
    return pylon::other_links();
  }
  return std::nullopt;
}

std::int64_t mtime_seconds(const struct stat& st) {
#ifdef __APPLE__
  const std::int64_t seconds = st.st_mtimespec.tv_sec;
#else
  const std::int64_t seconds = st.st_mtim.tv_sec;
#endif
  return std::max<std::int64_t>(0, seconds);  // a negative tv_sec is before 1970 whatever tv_nsec
}

}  // namespace

std::int64_t now_epoch() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::seconds>(since).count());
}

fs::path marker_dir() {
  const std::optional<std::string> override_dir = pylon::env_text("PYLON_GIT_ACTIVITY_DIR");
  // record runs in every commit: no look for ~/.pylon when the override decides
  return marker_dir_from(override_dir, override_dir ? std::nullopt : config::home::home_base_live(),
                         pylon::home_or_dot());
}

std::optional<fs::path> record_dir() {
  if (!has_home(pylon::env_text("PYLON_GIT_ACTIVITY_DIR"), pylon::env_var("PYLON_HOME"),
                pylon::env_var("HOME"))) {
    return std::nullopt;
  }
  return marker_dir();
}

bool has_home(const std::optional<std::string>& override_dir,
              const std::optional<std::string>& pylon_home,
              const std::optional<std::string>& home) {
  const auto given = [](const std::optional<std::string>& value) {
    return value && !value->empty();
  };
  return given(override_dir) || given(pylon_home) || given(home);
}

fs::path marker_dir_from(const std::optional<std::string>& override_dir,
                         const std::optional<fs::path>& fleet_home, const fs::path& home) {
  if (override_dir && !override_dir->empty()) {
    return *override_dir;
  }
  if (fleet_home) {
    return *fleet_home / "git-activity";
  }
  return home / ".kestrel" / "git-activity";
}

fs::path legacy_marker_dir() {
  return pylon::home_or_dot() / ".kestrel" / "git-activity";
}

std::string encode_marker(std::string_view repo) {
  std::string name(repo);
  std::replace(name.begin(), name.end(), '/', '-');
  return name;
}

Result<fs::path, std::error_code> write_marker(const fs::path& dir, std::string_view repo,
                                               std::optional<std::int64_t> epoch) {
  const std::string name = encode_marker(repo);
  auto fd = create_empty(dir, name);
  if (!fd) {
    return Err{fd.error()};
  }
  // the times go on the descriptor we already hold: one open per commit is enough
  if (auto set = set_mtime(fd.value().get(), epoch ? *epoch : now_epoch()); !set) {
    return Err{set.error()};
  }
  return dir / name;
}

Result<MarkerWrite, std::error_code> advance_marker(const fs::path& dir, std::string_view repo,
                                                    std::optional<std::int64_t> epoch) {
  const std::int64_t at = epoch ? *epoch : now_epoch();
  fs::path file = dir / encode_marker(repo);
  struct stat st {};
  if (::lstat(file.c_str(), &st) == 0 && !not_ours(st) && mtime_seconds(st) >= at) {
    return MarkerWrite{std::move(file), false};
  }
  auto written = write_marker(dir, repo, at);
  if (!written) {
    return Err{written.error()};
  }
  return MarkerWrite{std::move(written).value(), true};
}

Result<pylon::UniqueFd, std::error_code> create_empty(const fs::path& dir,
                                                      const std::string& name) {
  // emptied only once the gate has it open as a regular file of ours: a FIFO fails the open
  // rather than hang a commit, and a link at the name is refused
  if (!pylon::is_single_name(name)) {  // a name read back from a directory or a file
    return Err{pylon::gate_error(pylon::GateRule::BadName)};
  }
  pylon::Write open;
  open.action = pylon::WriteAction::Open;
  open.root = dir;
  open.target = name;
  open.make_root = true;
  auto opened = pylon::gate(open);
  if (!opened) {
    return Err{opened.error().error};
  }
  pylon::UniqueFd fd = std::move(opened.value().fd);
  if (::ftruncate(fd.get(), 0) != 0) {
    return Err{pylon::last_os_error()};
  }
  return fd;
}

Result<Unit, std::error_code> set_mtime(int fd, std::int64_t epoch) {
  const auto seconds = static_cast<std::time_t>(epoch);
#ifdef __APPLE__
  struct {
    struct timespec modified;  // packed in bit order: ATTR_CMN_MODTIME before ATTR_CMN_ACCTIME
    struct timespec accessed;
  } buf{{seconds, 0}, {seconds, 0}};
  struct attrlist attrs {};
  attrs.bitmapcount = ATTR_BIT_MAP_COUNT;
  attrs.commonattr = ATTR_CMN_MODTIME | ATTR_CMN_ACCTIME;
  if (::fsetattrlist(fd, &attrs, &buf, sizeof buf, 0) != 0) {
    return Err{pylon::last_os_error()};
  }
#else
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  if (::futimens(fd, times) != 0) {
    return Err{pylon::last_os_error()};
  }
#endif
  return Unit{};
}

std::optional<std::error_code> unreadable_marker_dir(const fs::path& dir) {
  const pylon::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd && errno != ENOENT) {
    return pylon::last_os_error();
  }
  return std::nullopt;
}

std::vector<Marker> read_markers(const fs::path& dir) {
  std::vector<Marker> markers;
  const pylon::UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd) {
    return markers;
  }
  // the one listing of the marker directory, shared with the owner search
  for (std::string& name : marker_names(dir_fd.get())) {
    struct stat st {};
    if (::fstatat(dir_fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    markers.push_back({std::move(name), mtime_seconds(st)});
  }
  std::stable_sort(markers.begin(), markers.end(), [](const Marker& a, const Marker& b) {
    if (a.epoch != b.epoch) {
      return a.epoch > b.epoch;
    }
    return a.name < b.name;  // std::string compares bytes as unsigned
  });
  return markers;
}

const std::optional<DirectoryProbe::Id>& DirectoryProbe::directory(const fs::path& path) {
  const auto [it, added] = known_.try_emplace(path.native());
  struct stat st {};
  if (!added) {
    return it->second.id;
  }
  if (::stat(path.c_str(), &st) != 0) {
    it->second.error = errno;
  } else if (S_ISDIR(st.st_mode)) {
    it->second.id.emplace(static_cast<std::uint64_t>(st.st_dev),
                          static_cast<std::uint64_t>(st.st_ino));
  }
  return it->second.id;
}

namespace {

// The pair's key: the directory as the file system knows it, so that every spelling meets.
std::optional<std::tuple<std::uint64_t, std::uint64_t, std::string>> failure_key(
    DirectoryProbe& probe, const fs::path& dir, std::span<const std::string> rest) {
  const auto& id = probe.directory(dir);
  if (!id) {
    return std::nullopt;
  }
  std::string name;
  for (const std::string& segment : rest) {
    name += segment;
    name += '-';
  }
  return std::tuple{id->first, id->second, std::move(name)};
}

}  // namespace

bool DirectoryProbe::failed_before(const fs::path& dir, std::span<const std::string> rest) {
  const auto key = failure_key(*this, dir, rest);
  return key && failed_.contains(*key);
}

void DirectoryProbe::note_failure(const fs::path& dir, std::span<const std::string> rest) {
  if (auto key = failure_key(*this, dir, rest)) {
    failed_.insert(std::move(*key));
  }
}

std::optional<fs::path> resolve_marker(std::string_view name, DirectoryProbe& probe,
                                       const AcceptDirectory& accept) {
  const auto key = project::store::key_root(name);
  if (!key) {
    return std::nullopt;
  }
  std::vector<std::string> segments;
  std::string_view rest = key->rest;
  for (;;) {
    const std::size_t dash = rest.find('-');
    segments.emplace_back(rest.substr(0, dash));
    if (dash == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(dash + 1);
  }
  return resolve_from(key->root, segments, probe, accept);
}

// A failure belongs to the directory, not to how its path is spelt, so each pair is tried once:
// trying every spelling took exponential time. The one exception, a spelling through more links
// than the system follows (40 on Linux), may leave a marker untraced that some other spelling of
// the same directory would have traced.
std::optional<fs::path> spelled_directory(std::string_view name) {
  DirectoryProbe probe;
  return resolve_marker(name, probe);
}

std::optional<fs::path> resolve_from(const fs::path& base, std::span<const std::string> segments,
                                     DirectoryProbe& probe, const AcceptDirectory& accept) {
  if (segments.empty()) {
    if (accept && !accept(base)) {
      return std::nullopt;
    }
    return base;
  }
  if (probe.failed_before(base, segments)) {
    return std::nullopt;
  }
  std::string component;
  for (std::size_t k = 1; k <= segments.size(); ++k) {
    if (k > 1) {
      component += '-';
    }
    component += segments[k - 1];
    const fs::path candidate = base / component;
    if (!probe.directory(candidate)) {
      continue;
    }
    if (auto found = resolve_from(candidate, segments.subspan(k), probe, accept)) {
      return found;
    }
  }
  probe.note_failure(base, segments);
  return std::nullopt;
}

}  // namespace gitactivity
