#include "files.hpp"

#include "text.hpp"
#include "unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

Result<Unit, std::error_code> read_chunks(int fd,
                                          const std::function<void(std::string_view)>& chunk) {
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

Result<Unit, std::error_code> read_lines(const fs::path& path, std::size_t max_line,
                                         const std::function<void(std::string_view)>& line) {
  struct stat st {};
  auto opened = open_regular(AT_FDCWD, path.c_str(), 0, st);
  if (!opened) {
    return Err{opened.error()};
  }
  std::string pending;
  bool too_long = false;
  auto read = read_chunks(opened.value().get(), [&](std::string_view chunk) {
    while (!chunk.empty()) {
      const std::size_t nl = chunk.find('\n');
      const std::string_view piece = chunk.substr(0, nl);
      too_long = too_long || pending.size() + piece.size() > max_line;
      if (!too_long) {
        pending.append(piece);
      }
      if (nl == std::string_view::npos) {
        return;
      }
      if (!too_long) {
        line(pending);
      }
      pending.clear();
      too_long = false;
      chunk.remove_prefix(nl + 1);
    }
  });
  if (!read) {
    return Err{read.error()};
  }
  if (!pending.empty() && !too_long) {
    line(pending);
  }
  return Unit{};
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

mode_t with_exec(mode_t mode) {
  return mode | ((mode & 0444) >> 2);
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
