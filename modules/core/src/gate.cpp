#include "gate.hpp"

#include "files.hpp"
#include "temp_files.hpp"
#include "text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __APPLE__
#include <copyfile.h>
#else
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iterator>
#include <vector>

namespace pylon {
namespace {

namespace fs = std::filesystem;

class GateCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "pylon.gate"; }
  std::string message(int value) const override {
    switch (static_cast<GateRule>(value)) {
      case GateRule::Link:
        return "a symbolic link, which is not followed";
      case GateRule::OtherOwner:
        return "owned by another user";
      case GateRule::Config:
        return "names this place, and someone who may change that file could not write here "
               "themselves";
      case GateRule::BadName:
        return "not a single file name";
    }
    return "refused";
  }
};

using Refused = Err<GateRefusal>;

Refused refuse(std::error_code error, fs::path where = {}) {
  return Refused{GateRefusal{error, std::move(where)}};
}

Refused refuse_os(fs::path where = {}) {
  return refuse(last_os_error(), std::move(where));
}

Result<Gated, GateRefusal> restrict_mode(const Write& w, int fd, const fs::path& path);

bool acts_in_place(WriteAction action) {
  return action == WriteAction::Open || action == WriteAction::Append ||
         action == WriteAction::AddExec;
}

bool makes_entry(WriteAction action) {
  return action == WriteAction::Replace || action == WriteAction::Create ||
         action == WriteAction::Open || action == WriteAction::Append;
}

// One step below `dir`, never through a link: openat2 where the kernel has it, which also keeps
// the step beneath `dir`; O_NOFOLLOW elsewhere, which the name's lack of "/" and ".." keeps there.
int open_below(int dir, const std::string& name, int flags) {
#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
  static std::atomic<bool> missing{false};
  if (!missing.load(std::memory_order_relaxed)) {
    struct open_how how {};
    how.flags = static_cast<unsigned>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.mode = (flags & O_CREAT) != 0 ? 0666 : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, dir, name.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) {
      return static_cast<int>(fd);
    }
    missing.store(true, std::memory_order_relaxed);
  }
#endif
  return ::openat(dir, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0666);
}

// What this user (effective ids, as the write runs) may do at `name` below `dir`.
std::error_code denied_at(int dir, const char* name, int mode) {
  if (::faccessat(dir, name, mode, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
    return last_os_error();
  }
  return {};
}

// An immutable or append-only file or directory refuses what its mode bits would allow.
bool sealed(int fd, bool append_allowed) {
#if defined(__linux__) && defined(FS_IOC_GETFLAGS)
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    return false;
  }
  const int stops = append_allowed ? FS_IMMUTABLE_FL : (FS_IMMUTABLE_FL | FS_APPEND_FL);
  return (flags & stops) != 0;
#else
  (void)fd;
  (void)append_allowed;
  return false;
#endif
}

// The directory the target lies in, reached below the root, and what the walk made of it.
struct Reached {
  UniqueFd dir;                   // empty in a dry run past a directory still to be made
  fs::path dir_path;              // for messages
  std::vector<fs::path> to_make;  // directories a real run makes on the way
};

// The root itself: opened as the caller spells it (its own links are the caller's to resolve),
// or made with its parents where that is allowed.
Result<UniqueFd, GateRefusal> open_root(const Write& w, std::vector<fs::path>& to_make) {
  UniqueFd root(w.root_fd >= 0 ? ::fcntl(w.root_fd, F_DUPFD_CLOEXEC, 0)
                               : ::open(w.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (root || errno != ENOENT || !w.make_root) {
    if (!root) {
      return refuse_os(w.root);
    }
    return root;
  }
  // mkdir -p: the nearest existing parent as spelt, then each missing name with no link followed
  fs::path base = w.root.lexically_normal();
  if (!base.has_filename() && base.has_relative_path()) {
    base = base.parent_path();  // a trailing slash
  }
  std::vector<std::string> missing;
  while (!root) {
    if (errno != ENOENT || !base.has_relative_path() || base == ".") {
      return refuse_os(base);
    }
    missing.push_back(base.filename().string());
    base = base.has_parent_path() ? base.parent_path() : fs::path(".");
    root.reset(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  for (auto name = missing.rbegin(); name != missing.rend(); ++name) {
    base /= *name;
    if (w.dry_run) {
      if (auto no = denied_at(root.get(), ".", W_OK | X_OK)) {
        return refuse(no, base.parent_path());
      }
      to_make.push_back(base);
      return UniqueFd{};
    }
    // the parents as mkdir -p makes them; the root itself with the mode asked
    const mode_t mode = std::next(name) == missing.rend() ? w.dir_mode : 0777;
    if (::mkdirat(root.get(), name->c_str(), mode) != 0 && errno != EEXIST) {
      return refuse_os(base);
    }
    UniqueFd next(open_below(root.get(), *name, O_RDONLY | O_DIRECTORY));
    if (!next) {
      return refuse_os(base);
    }
    root = std::move(next);
  }
  return root;
}

// The owner rule for a directory passed below the root: the running user's, root's, or that of
// the owner of the root (whose tree it is). A third user could move things under us.
std::optional<GateRefusal> foreign_dir(int fd, uid_t tree_owner, const fs::path& path) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    return GateRefusal{last_os_error(), path};
  }
  if (st.st_uid != ::geteuid() && st.st_uid != 0 && st.st_uid != tree_owner) {
    return GateRefusal{gate_error(GateRule::OtherOwner), path};
  }
  return std::nullopt;
}

Result<Reached, GateRefusal> reach_dir(const Write& w, const std::vector<std::string>& dirs) {
  Reached r;
  auto root = open_root(w, r.to_make);
  if (!root) {
    return Err{root.error()};
  }
  r.dir = std::move(root).value();
  r.dir_path = w.root;
  if (!r.dir) {
    for (const std::string& name : dirs) {
      r.to_make.push_back(r.dir_path /= name);
    }
    return r;
  }
  struct stat root_st {};
  if (!dirs.empty() && ::fstat(r.dir.get(), &root_st) != 0) {
    return refuse_os(w.root);
  }
  const bool may_make = w.make_dirs || w.action == WriteAction::MakeDirs;
  for (const std::string& name : dirs) {
    const fs::path next_path = r.dir_path / name;
    if (!r.dir) {  // a dry run past a directory still to be made: the rest is to be made too
      r.to_make.push_back(r.dir_path = next_path);
      continue;
    }
    UniqueFd next(open_below(r.dir.get(), name, O_RDONLY | O_DIRECTORY));
    if (!next && errno == ENOENT && may_make) {
      if (w.dry_run) {
        if (auto no = denied_at(r.dir.get(), ".", W_OK | X_OK)) {
          return refuse(no, r.dir_path);
        }
        r.dir_path = next_path;
        r.to_make.push_back(next_path);
        r.dir.reset();
        continue;
      }
      if (::mkdirat(r.dir.get(), name.c_str(), w.dir_mode) != 0 && errno != EEXIST) {
        return refuse_os(next_path);
      }
      next.reset(open_below(r.dir.get(), name, O_RDONLY | O_DIRECTORY));
    }
    if (!next) {
      struct stat st {};
      const bool link = (errno == ELOOP || errno == EXDEV || errno == ENOTDIR) &&
                        ::fstatat(r.dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(st.st_mode);
      return link ? refuse(gate_error(GateRule::Link), next_path) : refuse_os(next_path);
    }
    if (auto foreign = foreign_dir(next.get(), root_st.st_uid, next_path)) {
      return Err{*foreign};
    }
    r.dir = std::move(next);
    r.dir_path = next_path;
  }
  return r;
}

// The configuration rule at the directory the write changes: someone who may change the file
// that named it must be able to make the write there themselves.
std::optional<GateRefusal> config_refused(const fs::path& config, int dir, int target_dir,
                                          const std::string& name) {
  ConfigEvidence e;
  e.me = ::geteuid();
  struct stat st {};
  if (::stat(config.c_str(), &st) != 0) {
    return GateRefusal{last_os_error(), config};
  }
  e.owner = st.st_uid;
  e.group = st.st_gid;
  e.mode = st.st_mode & 07777;
  if (::fstat(dir, &st) != 0) {
    return GateRefusal{last_os_error(), config};
  }
  e.place_owner = st.st_uid;
  e.place_group = st.st_gid;
  e.place_mode = st.st_mode & 07777;
  if (target_dir >= 0 && ::fstatat(target_dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    e.entry_exists = true;
    e.entry_owner = st.st_uid;
  }
  if (judge_config_writer(e)) {
    return GateRefusal{gate_error(GateRule::Config), config};
  }
  return std::nullopt;
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

// The new content beside the old file, then renamed over it; the old file's owner, attributes
// and mode go with it. The directory is synced, so the new name survives a power cut.
Result<Unit, std::error_code> replace_at(int dir, const fs::path& dir_path, const std::string& name,
                                         std::string_view text, const UniqueFd& old,
                                         const struct stat& old_st) {
  const bool existed = static_cast<bool>(old);
  static std::atomic<unsigned> counter{0};
  std::string tmp;
  TempFile registered;  // an ending signal removes the file until it is renamed or removed
  int raw = -1;
  for (int attempt = 0; raw < 0; ++attempt) {
    // piece by piece, never a string literal assigned or put in front: either trips GCC 12's
    // false -Wrestrict (its bug 105329) at -O2 and -O3
    tmp.assign(1, '.');
    tmp += name;
    tmp += ".tmp.";
    tmp += std::to_string(::getpid());
    tmp += '.';
    tmp += std::to_string(counter++);
    raw = registered.create(dir_path / tmp, [&] {
      // 0666 so that the umask decides a new file's bits, as for a plain open-and-truncate
      return ::openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
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
  if (::renameat(dir, tmp.c_str(), dir, name.c_str()) != 0) {
    return fail(last_os_error());
  }
  // EINVAL: a file system that cannot sync a directory, where there is nothing more to do
  if (::fsync(dir) != 0 && errno != EINVAL) {
    return Err{last_os_error()};
  }
  return Unit{};
}

// The dotfiles exception: a link at the target whose owner, like that of every link on the way, is
// the owner of the file it leads to, is written through. Anything else about it is a refusal.
Result<WalkedPath, GateRefusal> through_own_link(const fs::path& link) {
  auto walked = walk_path(link);
  if (!walked) {
    return refuse(walked.error(), link);
  }
  WalkedPath& to = walked.value();
  if (!to.complete || to.name.empty()) {
    return refuse(std::make_error_code(std::errc::no_such_file_or_directory), link);
  }
  if (to.foreign_link) {
    return refuse(foreign_link(), to.foreign_link->link);
  }
  return to;
}

struct Target {
  int dir = -1;
  fs::path dir_path;
  std::string name;
  UniqueFd held;  // the own link's directory, when the target lies behind it
};

// The checks a write makes of the existing target `st` (links already dealt with).
std::optional<GateRefusal> judge_existing(const Write& w, const struct stat& st, int dir,
                                          const std::string& name, const fs::path& path) {
  if (w.action == WriteAction::MakeDirs) {
    return S_ISDIR(st.st_mode)
               ? std::nullopt
               : std::optional{GateRefusal{std::make_error_code(std::errc::not_a_directory), path}};
  }
  if (!S_ISREG(st.st_mode)) {
    return GateRefusal{not_regular_file(), path};
  }
  if (w.action == WriteAction::Create) {
    return GateRefusal{std::make_error_code(std::errc::file_exists), path};
  }
  if (acts_in_place(w.action) && st.st_nlink > 1) {
    return GateRefusal{other_links(), path};
  }
  // root keeps a user's file the user's (a rewrite gives it back its owner); anyone else writes
  // only files of their own
  if (st.st_uid != ::geteuid() && ::geteuid() != 0) {
    return GateRefusal{gate_error(GateRule::OtherOwner), path};
  }
  if (!w.dry_run) {
    return std::nullopt;
  }
  // what only the kernel would say at the write, asked without writing
  if (acts_in_place(w.action)) {
    if (auto no = denied_at(dir, name.c_str(), W_OK)) {
      return GateRefusal{no, path};
    }
  }
  const UniqueFd fd(
      ::openat(dir, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
  if (fd && sealed(fd.get(), w.action == WriteAction::Append)) {
    return GateRefusal{std::make_error_code(std::errc::operation_not_permitted), path};
  }
  return std::nullopt;
}

Result<Gated, GateRefusal> act(const Write& w, Target& t, bool existed, const struct stat& st) {
  Gated out;
  out.dir = t.dir_path;
  out.existed = existed;
  const fs::path path = t.dir_path / t.name;
  if (w.dry_run) {
    return out;
  }
  switch (w.action) {
    case WriteAction::Replace: {
      UniqueFd old;
      if (existed) {
        old.reset(::openat(t.dir, t.name.c_str(),
                           O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
        if (!old) {
          return refuse_os();
        }
      }
      if (auto done = replace_at(t.dir, t.dir_path, t.name, w.text, old, st); !done) {
        return refuse(done.error());
      }
      return out;
    }
    case WriteAction::Create:
    case WriteAction::Open:
    case WriteAction::Append: {
      int flags = O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CREAT;
      flags |= w.action == WriteAction::Create ? O_EXCL : 0;
      flags |= w.action == WriteAction::Append ? O_APPEND : 0;
      UniqueFd fd(::openat(t.dir, t.name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, w.mode));
      if (!fd) {
        return refuse_os();
      }
      struct stat now {};
      if (::fstat(fd.get(), &now) != 0) {
        return refuse_os();
      }
      if (!S_ISREG(now.st_mode)) {
        return refuse(not_regular_file());
      }
      if (now.st_nlink > 1) {
        return refuse(other_links());
      }
      if (!w.text.empty()) {
        if (auto written = write_all(fd.get(), w.text); !written) {
          return refuse(written.error());
        }
      }
      out.fd = std::move(fd);
      return out;
    }
    case WriteAction::AddExec: {
      const UniqueFd fd(::openat(t.dir, t.name.c_str(),
                                 O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
      struct stat now {};
      if (!fd || ::fstat(fd.get(), &now) != 0) {
        return refuse_os();
      }
      if (!S_ISREG(now.st_mode) || now.st_ino != st.st_ino) {
        return refuse(not_regular_file());
      }
      const mode_t mode = now.st_mode & 07777;
      if (with_exec(mode) != mode && ::fchmod(fd.get(), with_exec(mode)) != 0) {
        return refuse_os();
      }
      return out;
    }
    case WriteAction::Restrict: {
      const UniqueFd fd(::openat(t.dir, t.name.c_str(),
                                 O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
      if (!fd) {
        return refuse_os();
      }
      auto narrowed = restrict_mode(w, fd.get(), path);
      if (!narrowed) {
        return Err{narrowed.error()};
      }
      return out;
    }
    case WriteAction::Remove:
      if (::unlinkat(t.dir, t.name.c_str(), 0) != 0) {
        return refuse_os();
      }
      return out;
    case WriteAction::MakeDirs:
      if (!existed && ::mkdirat(t.dir, t.name.c_str(), w.dir_mode) != 0 && errno != EEXIST) {
        return refuse_os(path);
      }
      return out;
  }
  return out;
}

// The bits not in w.mode taken from the file or directory open at `fd`: a narrowing only, of a
// place of the running user's (or any, for root).
Result<Gated, GateRefusal> restrict_mode(const Write& w, int fd, const fs::path& path) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    return refuse_os(path);
  }
  if (st.st_uid != ::geteuid() && ::geteuid() != 0) {
    return refuse(gate_error(GateRule::OtherOwner), path);
  }
  const mode_t narrowed = st.st_mode & 07777 & w.mode;
  if (!w.dry_run && narrowed != (st.st_mode & 07777) && ::fchmod(fd, narrowed) != 0) {
    return refuse_os(path);
  }
  return Gated{UniqueFd{}, path, true};
}

}  // namespace

std::error_code gate_error(GateRule rule) {
  static const GateCategory category;
  return {static_cast<int>(rule), category};
}

bool is_single_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::string refusal_text(const GateRefusal& refusal) {
  const std::string reason = os_text(refusal.error);
  return refusal.where.empty() ? reason : path_text(refusal.where) + ": " + reason;
}

Result<Unit, std::error_code> write_atomic(const fs::path& path, std::string_view text) {
  Write w;
  w.root = path.has_parent_path() ? path.parent_path() : fs::path(".");
  w.target = path.filename();
  w.text = text;
  w.own_link = true;
  auto done = gate(w);
  if (!done) {
    return Err{done.error().error};
  }
  return Unit{};
}

Result<Gated, GateRefusal> gate(const Write& w) {
  // the target's own names: each one step, none climbing out
  std::vector<std::string> parts;
  for (const fs::path& part : w.target) {
    parts.push_back(part.string());
  }
  if (w.action == WriteAction::Restrict && parts.empty()) {
    std::vector<fs::path> none;
    auto root = open_root(w, none);
    if (!root) {
      return Err{root.error()};
    }
    return restrict_mode(w, root.value().get(), w.root);
  }
  if (w.action == WriteAction::MakeDirs && parts.empty()) {
    // the root itself, made with its parents
    Write root = w;
    root.make_root = true;
    std::vector<fs::path> to_make;
    auto made = open_root(root, to_make);
    if (!made) {
      return Err{made.error()};
    }
    return Gated{UniqueFd{}, w.root, to_make.empty()};
  }
  if (w.target.is_absolute() || parts.empty() ||
      !std::all_of(parts.begin(), parts.end(),
                   [](const std::string& p) { return is_single_name(p); })) {
    return refuse(gate_error(GateRule::BadName), w.target);
  }
  const std::string name = parts.back();
  parts.pop_back();
  auto reached = reach_dir(w, parts);
  if (!reached) {
    return Err{reached.error()};
  }
  Reached& r = reached.value();
  Target t{r.dir.get(), r.dir_path, name, {}};
  const fs::path path = t.dir_path / name;
  if (!r.dir) {
    // a dry run whose directory is still to be made: what it would make there is new
    if (w.action == WriteAction::Remove || w.action == WriteAction::AddExec ||
        w.action == WriteAction::Restrict) {
      return refuse(std::make_error_code(std::errc::no_such_file_or_directory), path);
    }
    return Gated{UniqueFd{}, t.dir_path, false};
  }
  struct stat st {};
  bool existed = ::fstatat(t.dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!existed && errno != ENOENT) {
    return refuse_os(path);
  }
  if (existed && S_ISLNK(st.st_mode)) {
    const bool through =
        w.own_link && (w.action == WriteAction::Replace || w.action == WriteAction::AddExec);
    if (!through) {
      return refuse(gate_error(GateRule::Link), path);
    }
    auto to = through_own_link(path);
    if (!to) {
      return Err{to.error()};
    }
    t.held.reset(::open(to.value().dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!t.held) {
      return refuse_os(to.value().dir);
    }
    t.dir = t.held.get();
    t.dir_path = to.value().dir;
    t.name = to.value().name;
    if (::fstatat(t.dir, t.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return refuse_os(t.dir_path / t.name);
    }
    if (S_ISLNK(st.st_mode)) {
      return refuse(foreign_link(), path);  // swapped since the walk
    }
  }
  if (existed) {
    if (auto refused = judge_existing(w, st, t.dir, t.name, t.dir_path / t.name)) {
      return Err{*refused};
    }
  } else if (w.action == WriteAction::Remove || w.action == WriteAction::AddExec ||
             w.action == WriteAction::Restrict) {
    return refuse(std::make_error_code(std::errc::no_such_file_or_directory), path);
  }
  if (w.named_by) {
    if (auto refused = config_refused(*w.named_by, t.dir, t.dir, t.name)) {
      return Err{*refused};
    }
  }
  if (w.dry_run) {
    // a new entry, a rename over the old one or a removal changes the directory
    const bool changes_dir = (makes_entry(w.action) && !(existed && acts_in_place(w.action))) ||
                             w.action == WriteAction::Remove ||
                             (w.action == WriteAction::MakeDirs && !existed);
    if (changes_dir) {
      if (auto no = denied_at(t.dir, ".", W_OK | X_OK)) {
        return refuse(no, t.dir_path);
      }
      const bool adds_only = !existed;
      if (sealed(t.dir, adds_only)) {
        return refuse(std::make_error_code(std::errc::operation_not_permitted), t.dir_path);
      }
    }
  }
  return act(w, t, existed, st);
}

}  // namespace pylon
