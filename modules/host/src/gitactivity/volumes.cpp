#include "gitactivity/volumes.hpp"

#include "env.hpp"
#include "files.hpp"
#include "gate.hpp"
#include "gitactivity/journal.hpp"
#include "gitactivity/markers.hpp"
#include "text.hpp"

#include <sys/stat.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/mount.h>
#include <sys/param.h>
#else
#include <sys/sysmacros.h>
#endif

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

// The fields of a table line split at blanks, each with its octal escapes ("\040" for a space)
// read back into bytes.
std::vector<std::string> fields(std::string_view line) {
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

// Only the running user may change it: theirs, and no write bit for its group or others. Root is
// held to this too: a file another user may change is no memory of root's.
bool own_alone(const struct stat& st) {
  return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<std::pair<std::string, RememberedMount>> memory_line(std::string_view line) {
  std::vector<std::string> f;
  for (;;) {
    const std::size_t tab = line.find('\t');
    auto bytes = unescape_bytes(line.substr(0, tab));
    if (!bytes || bytes->find('\0') != std::string::npos || f.size() == 4) {
      return std::nullopt;
    }
    f.push_back(std::move(*bytes));
    if (tab == std::string_view::npos) {
      break;
    }
    line.remove_prefix(tab + 1);
  }
  // a marker's name, a mount point other than the root's, and a root where the table gave one
  if (f.size() != 4 || !f[0].starts_with('-') || f[0].find('/') != std::string::npos ||
      !f[1].starts_with('/') || f[1] == "/" || !(f[3].empty() || f[3].starts_with('/'))) {
    return std::nullopt;
  }
  return std::pair{std::move(f[0]),
                   RememberedMount{std::move(f[1]), std::move(f[2]), std::move(f[3])}};
}

// The memory's writes, through the gate: the state directory made where it is missing, the file
// made 0600 where it is missing and then replaced whole. A directory or file another user may
// change is refused: what is read back from it would not be trusted.
Result<Unit, std::error_code> write_mount_memory(const fs::path& dir, std::string_view text) {
  if (!dir.is_absolute()) {
    return Err{std::make_error_code(std::errc::invalid_argument)};
  }
  pylon::Write write;
  write.action = pylon::WriteAction::MakeDirs;
  write.root = dir;
  write.dir_mode = 0700;  // the state directory is the user's alone, whatever the umask
  if (auto made = pylon::gate(write); !made) {
    return Err{made.error().error};
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    return Err{pylon::last_os_error()};
  }
  if (!S_ISDIR(st.st_mode) || !own_alone(st)) {
    return Err{std::make_error_code(std::errc::permission_denied)};
  }
  write.target = mount_memory_file(dir).filename();
  write.action = pylon::WriteAction::Create;  // a rename over the file keeps its mode
  write.mode = 0600;
  if (auto created = pylon::gate(write);
      !created && created.error().error != std::errc::file_exists) {
    return Err{created.error().error};
  }
  write.action = pylon::WriteAction::Replace;
  write.text = text;
  if (auto replaced = pylon::gate(write); !replaced) {
    return Err{replaced.error().error};
  }
  return Unit{};
}

bool below_or_at(std::string_view path, std::string_view point) {
  if (point == "/") {
    return path.starts_with('/');
  }
  return path.starts_with(point) && (path.size() == point.size() || path[point.size()] == '/');
}

}  // namespace

// A line of either table longer than this is no line of it.
constexpr std::size_t max_table_line = std::size_t{64} * 1024;

std::vector<MountEntry> read_mount_table(const fs::path& file) {
  std::vector<MountEntry> mounts;
  (void)pylon::read_lines(file, max_table_line, [&](std::string_view line) {
    // id parent major:minor root point options [optional fields...] - type source super-options
    const std::vector<std::string> f = fields(line);
    std::size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") {
      ++dash;
    }
    if (dash + 1 >= f.size()) {
      return;  // no type after the separator: not a line of this table
    }
    const std::size_t colon = f[2].find(':');
    const auto major = number(std::string_view(f[2]).substr(0, colon));
    const auto minor = colon == std::string::npos
                           ? std::nullopt
                           : number(std::string_view(f[2]).substr(colon + 1));
    if (!major || !minor || !f[4].starts_with('/')) {
      return;
    }
#ifdef __APPLE__
    const auto device = (*major << 24) | *minor;
#else
    const auto device = static_cast<std::uint64_t>(
        makedev(static_cast<unsigned>(*major), static_cast<unsigned>(*minor)));
#endif
    mounts.push_back({f[4], f[dash + 1], dash + 2 < f.size() ? f[dash + 2] : "", device, f[3]});
  });
  return mounts;
}

std::vector<FstabEntry> read_fstab(const fs::path& file) {
  std::vector<FstabEntry> entries;
  (void)pylon::read_lines(file, max_table_line, [&](std::string_view line) {
    const std::vector<std::string> f = fields(line);
    if (f.size() < 3 || f[0].starts_with('#') || !f[1].starts_with('/')) {
      return;  // a comment, a short line, or swap ("none" as its point)
    }
    std::string point = f[1];
    while (point.size() > 1 && point.ends_with('/')) {
      point.pop_back();
    }
    entries.push_back({f[0], std::move(point), f[2]});
  });
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

std::optional<std::size_t> Volumes::mounted_at(std::string_view point) const {
  std::optional<std::size_t> last;
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    if (mounts[i].point == point) {
      last = i;
    }
  }
  return last;
}

fs::path mount_memory_file(const fs::path& state_dir) {
  return state_dir / "mounts.tsv";
}

std::string mount_memory_text(const MountMemory& memory) {
  std::string text;
  for (const auto& [name, mount] : memory.markers) {
    for (const std::string* field : {&name, &mount.point, &mount.source, &mount.root}) {
      text += escape_bytes(*field);
      text += field == &mount.root ? '\n' : '\t';
    }
  }
  return text;
}

MountMemory parse_mount_memory(std::string_view text) {
  MountMemory memory;
  for (std::size_t number = 1; !text.empty(); ++number) {
    const std::size_t end = text.find('\n');
    auto entry = end == std::string_view::npos ? std::nullopt : memory_line(text.substr(0, end));
    if (!entry || !memory.markers.insert(std::move(*entry)).second) {
      memory.bad_lines.push_back(number);
    }
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return memory;
}

MountMemory read_mount_memory(const fs::path& state_dir) {
  const fs::path file = mount_memory_file(state_dir);
  struct stat dir {};
  struct stat st {};
  if (!state_dir.is_absolute() || ::lstat(file.c_str(), &st) != 0) {
    return {};  // nothing remembered yet
  }
  // whoever may change the directory may swap the file
  const bool trusted = ::stat(state_dir.c_str(), &dir) == 0 && own_alone(dir) &&
                       S_ISREG(st.st_mode) && own_alone(st);
  auto text =
      trusted ? pylon::read_file(file) : Err{std::make_error_code(std::errc::permission_denied)};
  if (!text) {
    MountMemory refused;
    refused.refused = true;
    return refused;
  }
  return parse_mount_memory(text.value());
}

bool note_mounts(MountMemory& memory, const Volumes& volumes, const std::vector<std::string>& tops,
                 const std::vector<std::string>& forget) {
  bool changed = false;
  for (const std::string& name : forget) {
    changed = memory.markers.erase(name) > 0 || changed;
  }
  for (const std::string& top : tops) {
    const std::string name = encode_marker(pylon::lossy_utf8(top));
    const std::optional<std::size_t> at = volumes.mount_of(top);
    if (!at) {
      continue;  // no mount holds it: nothing learnt
    }
    const MountEntry& mount = volumes.mounts[*at];
    if (mount.point == "/") {
      changed = memory.markers.erase(name) > 0 || changed;
      continue;
    }
    RememberedMount seen{mount.point, mount.source, mount.root};
    const auto [it, added] = memory.markers.try_emplace(name, seen);
    changed = changed || added || it->second != seen;
    it->second = std::move(seen);
  }
  return changed;
}

void remember_mounts(const Volumes& volumes, const std::vector<std::string>& tops,
                     const std::vector<std::string>& forget) {
  const fs::path dir = state_dir();
  MountMemory memory = volumes.memory != nullptr ? *volumes.memory : read_mount_memory(dir);
  if (memory.refused || !note_mounts(memory, volumes, tops, forget)) {
    return;
  }
  const std::string text = mount_memory_text(memory);
  if (text.size() <= pylon::read_limit) {  // more would not read back: keep what is there
    (void)write_mount_memory(dir, text);
  }
}

Volumes volumes_live() {
  Volumes volumes;
#ifdef __APPLE__
  struct statfs* list = nullptr;
  const int count = ::getmntinfo(&list, MNT_NOWAIT);
  for (int i = 0; i < count; ++i) {
    volumes.mounts.push_back({list[i].f_mntonname, list[i].f_fstypename, list[i].f_mntfromname,
                              static_cast<std::uint64_t>(list[i].f_fsid.val[0]), ""});
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
  // one read for the whole process: a prune looks at the mounts again before each removal
  static const MountMemory memory = read_mount_memory(state_dir());
  volumes.memory = &memory;
  return volumes;
}

}  // namespace gitactivity
