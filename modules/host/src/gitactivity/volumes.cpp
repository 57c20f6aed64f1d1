#include "gitactivity/volumes.hpp"

#include "env.hpp"

#include <sys/stat.h>
#ifdef __APPLE__
#include <sys/mount.h>
#include <sys/param.h>
#else
#include <sys/sysmacros.h>
#endif

#include <fstream>
#include <sstream>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

// The fields of a table line split at blanks, each with its octal escapes ("\040" for a space)
// read back into bytes.
std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::string field;
  bool in_field = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ' || c == '\t') {
      if (in_field) {
        out.push_back(std::move(field));
        field.clear();
        in_field = false;
      }
      continue;
    }
    in_field = true;
    if (c == '\\' && i + 3 < line.size() && line[i + 1] >= '0' && line[i + 1] <= '3' &&
        line[i + 2] >= '0' && line[i + 2] <= '7' && line[i + 3] >= '0' && line[i + 3] <= '7') {
      field += static_cast<char>(((line[i + 1] - '0') << 6) | ((line[i + 2] - '0') << 3) |
                                 (line[i + 3] - '0'));
      i += 3;
      continue;
    }
    field += c;
  }
  if (in_field) {
    out.push_back(std::move(field));
  }
  return out;
}

std::optional<std::uint64_t> number(std::string_view text) {
  if (text.empty() || text.size() > 10) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

bool below_or_at(std::string_view path, std::string_view point) {
  if (point == "/") {
    return path.starts_with('/');
  }
  return path.starts_with(point) && (path.size() == point.size() || path[point.size()] == '/');
}

}  // namespace

std::vector<MountEntry> read_mount_table(const fs::path& file) {
  std::vector<MountEntry> mounts;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root point options [optional fields...] - type source super-options
    const std::vector<std::string> f = fields(line);
    std::size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") {
      ++dash;
    }
    if (dash + 1 >= f.size()) {
      continue;  // no type after the separator: not a line of this table
    }
    const std::size_t colon = f[2].find(':');
    const auto major = number(std::string_view(f[2]).substr(0, colon));
    const auto minor = colon == std::string::npos
                           ? std::nullopt
                           : number(std::string_view(f[2]).substr(colon + 1));
    if (!major || !minor || !f[4].starts_with('/')) {
      continue;
    }
#ifdef __APPLE__
    const auto device = (*major << 24) | *minor;
#else
    const auto device = static_cast<std::uint64_t>(
        makedev(static_cast<unsigned>(*major), static_cast<unsigned>(*minor)));
#endif
    mounts.push_back({f[4], f[dash + 1], dash + 2 < f.size() ? f[dash + 2] : "", device});
  }
  return mounts;
}

std::vector<FstabEntry> read_fstab(const fs::path& file) {
  std::vector<FstabEntry> entries;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> f = fields(line);
    if (f.size() < 3 || f[0].starts_with('#') || !f[1].starts_with('/')) {
      continue;  // a comment, a short line, or swap ("none" as its point)
    }
    std::string point = f[1];
    while (point.size() > 1 && point.ends_with('/')) {
      point.pop_back();
    }
    entries.push_back({f[0], std::move(point), f[2]});
  }
  return entries;
}

std::optional<fs::path> disk_node(std::string_view source) {
  if (source.starts_with("UUID=") && source.size() > 5) {
    return fs::path("/dev/disk/by-uuid") / source.substr(5);
  }
  if (source.starts_with("PARTUUID=") && source.size() > 9) {
    return fs::path("/dev/disk/by-partuuid") / source.substr(9);
  }
  if (source.starts_with("/dev/") && source.size() > 5) {
    return fs::path(source);
  }
  return std::nullopt;
}

std::optional<std::size_t> Volumes::mount_of(std::string_view path) const {
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    if (below_or_at(path, mounts[i].point) &&
        (!best || mounts[i].point.size() >= mounts[*best].point.size())) {
      best = i;
    }
  }
  return best;
}

bool Volumes::unmounted_point(std::string_view point) const {
  for (const FstabEntry& entry : fstab) {
    if (entry.point != point) {
      continue;
    }
    for (const MountEntry& mount : mounts) {
      if (mount.point == point) {
        return false;
      }
    }
    return true;
  }
  return false;
}

Volumes volumes_live() {
  Volumes volumes;
#ifdef __APPLE__
  struct statfs* list = nullptr;
  const int count = ::getmntinfo(&list, MNT_NOWAIT);
  for (int i = 0; i < count; ++i) {
    volumes.mounts.push_back({list[i].f_mntonname, list[i].f_fstypename, list[i].f_mntfromname,
                              static_cast<std::uint64_t>(list[i].f_fsid.val[0])});
  }
#else
  volumes.mounts = read_mount_table("/proc/self/mountinfo");
#endif
  volumes.fstab = read_fstab("/etc/fstab");
  volumes.fixed.assign(volumes.mounts.size(), false);
  for (std::size_t i = 0; i < volumes.mounts.size(); ++i) {
    const MountEntry& mount = volumes.mounts[i];
    for (const FstabEntry& entry : volumes.fstab) {
      const std::optional<fs::path> node = disk_node(entry.source);
      struct stat st {};
      // the entry's own disk, not another one mounted at its point
      if (entry.point == mount.point && node && ::stat(node->c_str(), &st) == 0 &&
          S_ISBLK(st.st_mode) && static_cast<std::uint64_t>(st.st_rdev) == mount.device) {
        volumes.fixed[i] = true;
      }
    }
  }
  // an unset or relative HOME names no home: the current directory's volume is not certain
  const std::optional<std::string> home_var = pylon::env_var("HOME");
  std::error_code ec;
  const fs::path home =
      home_var && home_var->starts_with('/') ? fs::canonical(*home_var, ec) : fs::path();
  if (!ec && home.is_absolute()) {
    volumes.home_mount = volumes.mount_of(home.native());
  }
  return volumes;
}

}  // namespace gitactivity
