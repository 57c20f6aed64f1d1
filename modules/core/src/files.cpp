#include "files.hpp"

#include "temp_files.hpp"
#include "text.hpp"
#include "unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __APPLE__
#include <copyfile.h>
#else
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <utility>
#include <vector>

namespace pylon {
namespace {

namespace fs = std::filesystem;

enum class FileError { NotRegular = 1, TooLarge, OtherLinks, ForeignLink };

class FileCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "pylon.files"; }
  std::string message(int value) const override {
    switch (static_cast<FileError>(value)) {
      case FileError::NotRegular:
        return "not a regular file";
      case FileError::TooLarge:
        return "larger than 1 MiB";
      case FileError::OtherLinks:
        return "a file with other hard links";
      case FileError::ForeignLink:
        return "a symbolic link on the way has another owner than the file it leads to";
    }
    return "file error";
  }
};

std::error_code file_error(FileError value) {
  static const FileCategory category;
  return {static_cast<int>(value), category};
}

constexpr int max_link_hops = 40;  // what Linux follows before ELOOP

struct SeenLink {
  fs::path path;
  uid_t owner;
};

// A path resolved one component at a time with no link followed by the system: where it ends,
// and every symbolic link taken on the way.
struct Walk {
  UniqueFd dir;          // the directory that holds `name`
  fs::path dir_path;     // its spelling, for messages
  std::string name;      // the last component; empty when the path names a directory
  bool complete = true;  // false: `name` is a missing directory on the way, not the last step
  std::vector<SeenLink> links;
};

// The link's text, read between two looks at the same link: a swap in between is an error, so
// the owner noted is the owner of the link that was read.
Result<std::string, std::error_code> read_link_at(int dir, const std::string& name,
                                                  const struct stat& seen) {
  std::string target(4096, '\0');
  const ssize_t n = ::readlinkat(dir, name.c_str(), target.data(), target.size());
  if (n < 0) {
    return Err{last_os_error()};
  }
  if (static_cast<std::size_t>(n) == target.size()) {
    return Err{std::make_error_code(std::errc::filename_too_long)};
  }
  target.resize(static_cast<std::size_t>(n));
  struct stat again {};
  if (::fstatat(dir, name.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0) {
    return Err{last_os_error()};
  }
  if (again.st_ino != seen.st_ino || again.st_dev != seen.st_dev || again.st_uid != seen.st_uid) {
    return Err{std::make_error_code(std::errc::resource_unavailable_try_again)};
  }
  return target;
}

void push_front_parts(std::deque<std::string>& todo, const fs::path& path) {
  std::vector<std::string> parts;
  for (const fs::path& part : path.relative_path()) {
    parts.push_back(part.string());
  }
  todo.insert(todo.begin(), parts.begin(), parts.end());
}

// True when what is left of a path names no further step.
bool nothing_left(const std::deque<std::string>& todo) {
  return std::all_of(todo.begin(), todo.end(),
                     [](const std::string& rest) { return rest.empty() || rest == "."; });
}

Result<UniqueFd, std::error_code> open_dir_at(int dir, const char* name) {
  UniqueFd fd(::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    return Err{last_os_error()};
  }
  return fd;
}

Result<Walk, std::error_code> walk(const fs::path& path) {
  Walk w;
  w.dir_path = path.is_absolute() ? fs::path("/") : fs::path();
  auto start = open_dir_at(AT_FDCWD, path.is_absolute() ? "/" : ".");
  if (!start) {
    return Err{start.error()};
  }
  w.dir = std::move(start).value();
  std::deque<std::string> todo;
  push_front_parts(todo, path);
  int hops = 0;
  while (!todo.empty()) {
    std::string name = std::move(todo.front());
    todo.pop_front();
    if (name.empty() || name == ".") {
      continue;
    }
    struct stat st {};
    if (::fstatat(w.dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) {
        return Err{last_os_error()};
      }
      w.complete = nothing_left(todo);
      w.name = std::move(name);
      return w;
    }
    if (S_ISLNK(st.st_mode)) {
      if (++hops > max_link_hops) {
        return Err{std::make_error_code(std::errc::too_many_symbolic_link_levels)};
      }
      auto text = read_link_at(w.dir.get(), name, st);
      if (!text) {
        return Err{text.error()};
      }
      w.links.push_back({w.dir_path / name, st.st_uid});
      const fs::path target(text.value());
      if (target.is_absolute()) {
        auto root = open_dir_at(AT_FDCWD, "/");
        if (!root) {
          return Err{root.error()};
        }
        w.dir = std::move(root).value();
        w.dir_path = "/";
      }
      push_front_parts(todo, target);
      continue;
    }
    const bool last = nothing_left(todo);
    if (last && !S_ISDIR(st.st_mode)) {
      w.name = std::move(name);
      return w;
    }
    auto next = open_dir_at(w.dir.get(), name.c_str());  // O_NOFOLLOW: a link swapped in fails
    if (!next) {
      return Err{next.error()};
    }
    w.dir = std::move(next).value();
    w.dir_path /= name;
  }
  return w;
}

// The link of `w` whose owner is not `owner`, if any.
std::optional<ForeignLink> foreign_in(const Walk& w, uid_t owner) {
  for (const SeenLink& link : w.links) {
    if (link.owner != owner) {
      return ForeignLink{link.path, w.dir_path / w.name};
    }
  }
  return std::nullopt;
}

Result<uid_t, std::error_code> owner_of(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    return Err{last_os_error()};
  }
  return st.st_uid;
}

// Opens `name` below `dir` for reading, only when it is a regular file; `st` describes it. The
// look before the open spares a device the open, the fstat closes the gap to it; without
// O_NONBLOCK the open of a FIFO would wait for a writer. AT_SYMLINK_NOFOLLOW in `at_flags` refuses
// a link at the name.
Result<UniqueFd, std::error_code> open_regular(int dir, const char* name, int at_flags,
                                               struct stat& st) {
  if (::fstatat(dir, name, &st, at_flags) != 0) {
    return Err{last_os_error()};
  }
  if (!S_ISREG(st.st_mode)) {
    return Err{not_regular_file()};
  }
  const int nofollow = (at_flags & AT_SYMLINK_NOFOLLOW) != 0 ? O_NOFOLLOW : 0;
  UniqueFd fd(::openat(dir, name, O_RDONLY | nofollow | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    return Err{last_os_error()};
  }
  if (::fstat(fd.get(), &st) != 0) {
    return Err{last_os_error()};
  }
  if (!S_ISREG(st.st_mode)) {
    return Err{not_regular_file()};
  }
  return fd;
}

// The existing regular file at the end of a complete walk, opened to be looked at (never to be
// written: it is replaced, or only its mode changes); an empty descriptor when there is none.
Result<UniqueFd, std::error_code> open_existing(const Walk& w, struct stat& st) {
  auto fd = open_regular(w.dir.get(), w.name.c_str(), AT_SYMLINK_NOFOLLOW, st);
  if (!fd && fd.error() == std::errc::no_such_file_or_directory) {
    return UniqueFd{};
  }
  return fd;
}

// A walk to an existing or new regular file whose links all have the target's owner.
struct Checked {
  Walk walk;
  UniqueFd file;  // empty for a file that does not exist yet
  struct stat st {};
};

Result<Checked, std::error_code> walk_checked(const fs::path& path) {
  auto walked = walk(path);
  if (!walked) {
    return Err{walked.error()};
  }
  Checked c{std::move(walked).value(), {}, {}};
  if (!c.walk.complete) {
    return Err{std::make_error_code(std::errc::no_such_file_or_directory)};
  }
  if (c.walk.name.empty()) {
    return Err{not_regular_file()};  // the path names a directory
  }
  auto file = open_existing(c.walk, c.st);
  if (!file) {
    return Err{file.error()};
  }
  c.file = std::move(file).value();
  auto owner = c.file ? Result<uid_t, std::error_code>(c.st.st_uid) : owner_of(c.walk.dir.get());
  if (!owner) {
    return Err{owner.error()};
  }
  if (foreign_in(c.walk, owner.value())) {
    return Err{foreign_link()};
  }
  return c;
}

#ifndef __APPLE__
constexpr const char* acl_name = "system.posix_acl_access";

// The attribute list or value of `fd`, asked for its size first and read again if it grew.
template <class Call>
Result<std::string, std::error_code> read_sized(Call call) {
  for (;;) {
    const ssize_t size = call(nullptr, 0);
    if (size < 0) {
      return Err{last_os_error()};
    }
    std::string out(static_cast<std::size_t>(size), '\0');
    const ssize_t n = call(out.data(), out.size());
    if (n >= 0) {
      out.resize(static_cast<std::size_t>(n));
      return out;
    }
    if (errno != ERANGE) {
      return Err{last_os_error()};
    }
  }
}
#endif

// The old file's ACL goes to the new one exactly, or the rewrite stops: a lost ACL widens or
// narrows who may touch the file. Other attributes follow where the process may set them.
Result<Unit, std::error_code> copy_extended_attributes(int from, int to) {
#ifdef __APPLE__
  if (::fcopyfile(from, to, nullptr, COPYFILE_ACL | COPYFILE_XATTR) != 0) {
    return Err{last_os_error()};
  }
  return Unit{};
#else
  auto names =
      read_sized([&](char* buf, std::size_t size) { return ::flistxattr(from, buf, size); });
  if (!names && names.error() != std::errc::not_supported) {
    return Err{names.error()};
  }
  bool had_acl = false;
  const std::string_view list = names ? std::string_view(names.value()) : std::string_view{};
  for (std::size_t at = 0; at < list.size();) {
    const std::size_t end = std::min(list.find('\0', at), list.size());
    const std::string name(list.substr(at, end - at));
    at = end + 1;
    const bool is_acl = name == acl_name;
    had_acl = had_acl || is_acl;
    auto value = read_sized(
        [&](char* buf, std::size_t size) { return ::fgetxattr(from, name.c_str(), buf, size); });
    if (!value) {
      if (is_acl) {
        return Err{value.error()};
      }
      continue;
    }
    if (::fsetxattr(to, name.c_str(), value.value().data(), value.value().size(), 0) != 0 &&
        is_acl) {
      return Err{last_os_error()};
    }
  }
  // the new file took the directory's default ACL when it was made; the old one had none
  if (!had_acl && ::fremovexattr(to, acl_name) != 0 && errno != ENODATA && errno != ENOTSUP) {
    return Err{last_os_error()};
  }
  return Unit{};
#endif
}

// After the rename the new name lives only in the directory's cached copy until that is synced.
Result<Unit, std::error_code> sync_dir(int dir) {
  // EINVAL: a filesystem that cannot sync a directory, where there is nothing more to do
  if (::fsync(dir) != 0 && errno != EINVAL) {
    return Err{last_os_error()};
  }
  return Unit{};
}

Result<Unit, std::error_code> write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return Err{last_os_error()};
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return Unit{};
}

}  // namespace

std::error_code not_regular_file() {
  return file_error(FileError::NotRegular);
}

std::error_code too_large() {
  return file_error(FileError::TooLarge);
}

std::error_code other_links() {
  return file_error(FileError::OtherLinks);
}

std::error_code foreign_link() {
  return file_error(FileError::ForeignLink);
}

Result<std::string, std::error_code> read_head(const fs::path& path) {
  struct stat st {};
  auto opened = open_regular(AT_FDCWD, path.c_str(), 0, st);
  if (!opened) {
    return Err{opened.error()};
  }
  const UniqueFd& fd = opened.value();
  std::string text;
  char buf[65536];
  while (text.size() <= read_limit) {
    const std::size_t want = std::min(sizeof buf, read_limit + 1 - text.size());
    const ssize_t n = ::read(fd.get(), buf, want);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return Err{last_os_error()};
    }
    if (n == 0) {
      break;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

Result<std::string, std::error_code> read_file(const fs::path& path) {
  auto text = read_head(path);
  if (text && text.value().size() > read_limit) {
    return Err{too_large()};
  }
  return text;
}

Result<Unit, std::error_code> read_chunks(int fd, const std::function<void(std::string_view)>& chunk) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return Err{last_os_error()};
    }
    if (n == 0) {
      return Unit{};
    }
    chunk(std::string_view(buf, static_cast<std::size_t>(n)));
  }
}

Result<WalkedPath, std::error_code> walk_path(const fs::path& path) {
  auto walked = walk(path);
  if (!walked) {
    return Err{walked.error()};
  }
  const Walk& w = walked.value();
  WalkedPath out{w.dir_path, w.name, w.complete, std::nullopt};
  if (!w.complete) {
    out.foreign_link = foreign_in(w, ::geteuid());  // the directories still missing are made by
    return out;                                     // the writer
  }
  struct stat st {};
  if (w.name.empty() || ::fstatat(w.dir.get(), w.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (!w.name.empty() && errno != ENOENT) {
      return Err{last_os_error()};
    }
    if (::fstat(w.dir.get(), &st) != 0) {
      return Err{last_os_error()};
    }
  }
  out.foreign_link = foreign_in(w, st.st_uid);
  return out;
}

Result<std::optional<ForeignLink>, std::error_code> find_foreign_link(const fs::path& path) {
  auto walked = walk_path(path);
  if (!walked) {
    return Err{walked.error()};
  }
  return std::move(walked.value().foreign_link);
}

std::string foreign_link_text(const ForeignLink& found) {
  return "could not write through " + path_text(found.link) +
         ": the symbolic link has another owner than " + path_text(found.target) +
         ", which it leads to";
}

Result<Unit, std::error_code> write_atomic(const fs::path& path, std::string_view text) {
  auto checked = walk_checked(path);
  if (!checked) {
    return Err{checked.error()};
  }
  const Walk& w = checked.value().walk;
  const int dir = w.dir.get();
  const UniqueFd& old = checked.value().file;
  const struct stat& old_st = checked.value().st;
  const bool existed = static_cast<bool>(old);

  static std::atomic<unsigned> counter{0};
  std::string tmp;
  TempFile registered;  // an ending signal removes the file until it is renamed or removed
  int raw = -1;
  for (int attempt = 0; raw < 0; ++attempt) {
    // piece by piece, never a string literal assigned or put in front: either trips GCC 12's
    // false -Wrestrict (its bug 105329) at -O2 and -O3
    tmp.assign(1, '.');
    tmp += w.name;
    tmp += ".tmp.";
    tmp += std::to_string(::getpid());
    tmp += '.';
    tmp += std::to_string(counter++);
    raw = registered.create(w.dir_path / tmp, [&] {
      // 0666 so that the umask decides a new file's bits, as for a plain open-and-truncate
      return ::openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    });
    if (raw < 0 && (errno != EEXIST || attempt > 100)) {
      return Err{last_os_error()};
    }
  }
  UniqueFd fd(raw);
  const auto fail = [&](std::error_code ec) -> Result<Unit, std::error_code> {
    ::unlinkat(dir, tmp.c_str(), 0);
    return Err{ec};
  };
  if (auto written = write_all(fd.get(), text); !written) {
    return fail(written.error());
  }
  // As root a user's file stays the user's; anyone else may keep at most their own groups.
  if (existed && ::fchown(fd.get(), old_st.st_uid, old_st.st_gid) != 0 && errno != EPERM) {
    return fail(last_os_error());
  }
  if (existed) {
    if (auto copied = copy_extended_attributes(old.get(), fd.get()); !copied) {
      return fail(copied.error());
    }
  }
  // after the chown, which may clear the set-id bits; it also sets an ACL's mask to the old one
  if (existed && ::fchmod(fd.get(), old_st.st_mode & 07777) != 0) {
    return fail(last_os_error());
  }
  if (::fsync(fd.get()) != 0) {
    return fail(last_os_error());
  }
  if (::close(fd.release()) != 0) {
    return fail(last_os_error());
  }
  if (::renameat(dir, tmp.c_str(), dir, w.name.c_str()) != 0) {
    return fail(last_os_error());
  }
  return sync_dir(dir);
}

mode_t with_exec(mode_t mode) {
  return mode | ((mode & 0444) >> 2);
}

Result<Unit, std::error_code> add_exec(const fs::path& path) {
  auto checked = walk_checked(path);
  if (!checked) {
    return Err{checked.error()};
  }
  const Checked& c = checked.value();
  if (!c.file) {
    return Err{std::make_error_code(std::errc::no_such_file_or_directory)};
  }
  const mode_t mode = c.st.st_mode & 07777;
  if (with_exec(mode) == mode) {
    return Unit{};
  }
  if (::fchmod(c.file.get(), with_exec(mode)) != 0) {
    return Err{last_os_error()};
  }
  return Unit{};
}

std::optional<ConfigWriter> judge_config_writer(const ConfigEvidence& e) {
  constexpr mode_t wx_other = S_IWOTH | S_IXOTH;
  constexpr mode_t wx_group = S_IWGRP | S_IXGRP;
  constexpr mode_t wx_owner = S_IWUSR | S_IXUSR;
  // in a sticky directory only the entry's or the directory's owner may replace an entry
  const bool kept = (e.place_mode & S_ISVTX) != 0 && e.entry_exists;
  const bool everyone_could = (e.place_mode & wx_other) == wx_other && !kept;
  const bool group_could = everyone_could || (e.group == e.place_group &&
                                              (e.place_mode & wx_group) == wx_group && !kept);
  // the owner counts as a member of the file's group: only root gives a file a group its owner
  // is not in, and the user database is out of a static binary's reach
  const bool owner_may = !kept || e.owner == e.place_owner || e.owner == e.entry_owner;
  const bool owner_could =
      e.owner == 0 ||
      (owner_may && ((e.owner == e.place_owner && (e.place_mode & wx_owner) == wx_owner) ||
                     (e.group == e.place_group && (e.place_mode & wx_group) == wx_group) ||
                     (e.place_mode & wx_other) == wx_other));
  if ((e.mode & S_IWOTH) != 0 && !everyone_could) {
    return ConfigWriter::Everyone;
  }
  if ((e.mode & S_IWGRP) != 0 && !group_could) {
    return ConfigWriter::Group;
  }
  if (e.owner != e.me && !owner_could) {
    return ConfigWriter::Owner;
  }
  return std::nullopt;
}

Result<ConfigEvidence, std::error_code> config_evidence(const fs::path& config,
                                                        const fs::path& target) {
  ConfigEvidence e;
  e.me = ::geteuid();
  struct stat st {};
  if (::stat(config.c_str(), &st) != 0) {
    return Err{last_os_error()};
  }
  e.owner = st.st_uid;
  e.group = st.st_gid;
  e.mode = st.st_mode & 07777;
  if (::lstat(target.c_str(), &st) == 0) {
    e.entry_exists = true;
    e.entry_owner = st.st_uid;
  }
  fs::path dir = target.parent_path();
  while (::stat(dir.empty() ? "." : dir.c_str(), &st) != 0) {
    if (errno != ENOENT || dir.empty() || dir == dir.parent_path()) {
      return Err{last_os_error()};
    }
    dir = dir.parent_path();
  }
  e.place_owner = st.st_uid;
  e.place_group = st.st_gid;
  e.place_mode = st.st_mode & 07777;
  return e;
}

}  // namespace pylon
