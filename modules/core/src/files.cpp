#include "files.hpp"

#include "temp_files.hpp"
#include "unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

namespace pylon {
namespace {

namespace fs = std::filesystem;

// Follows a chain of symbolic links to the path that really holds the data (which may not exist).
Result<fs::path, std::error_code> final_target(fs::path path) {
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(path, ec);
    if (ec || !fs::is_symlink(st)) {
      return path;  // a missing file or an unreadable one is the caller's to find out
    }
    fs::path next = fs::read_symlink(path, ec);
    if (ec) {
      return Err{ec};
    }
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  return Err{std::make_error_code(std::errc::too_many_symbolic_link_levels)};
}

class FileCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "pylon.files"; }
  std::string message(int /*value*/) const override { return "not a regular file"; }
};

// After the rename the new name lives only in the directory's cached copy until that is synced.
Result<Unit, std::error_code> sync_dir(const fs::path& file) {
  const fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    return Err{last_os_error()};
  }
  // EINVAL: a filesystem that cannot sync a directory, where there is nothing more to do
  if (::fsync(fd.get()) != 0 && errno != EINVAL) {
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
  static const FileCategory category;
  return {1, category};
}

Result<std::string, std::error_code> read_file(const fs::path& path) {
  // The stat spares a device the open; the fstat closes the gap to it. Without O_NONBLOCK the open
  // of a FIFO would wait for a writer.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return Err{last_os_error()};
  }
  if (!S_ISREG(st.st_mode)) {
    return Err{not_regular_file()};
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    return Err{last_os_error()};
  }
  if (::fstat(fd.get(), &st) != 0) {
    return Err{last_os_error()};
  }
  if (!S_ISREG(st.st_mode)) {
    return Err{not_regular_file()};
  }
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return Err{last_os_error()};
    }
    if (n == 0) {
      return text;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
}

Result<Unit, std::error_code> write_atomic(const fs::path& path, std::string_view text) {
  auto target = final_target(path);
  if (!target) {
    return Err{target.error()};
  }
  const fs::path& dest = target.value();

  struct stat old {};
  const bool existed = ::lstat(dest.c_str(), &old) == 0;
  if (!existed && errno != ENOENT) {
    return Err{last_os_error()};
  }
  if (existed && !S_ISREG(old.st_mode)) {
    return Err{not_regular_file()};
  }

  static std::atomic<unsigned> counter{0};
  fs::path tmp;
  TempFile registered;  // an ending signal removes the file until it is renamed or removed
  int raw = -1;
  for (int attempt = 0; raw < 0; ++attempt) {
    // appended piece by piece: `"." + string` trips a false -Wrestrict in GCC 12 at -O2
    std::string name = ".";
    name += dest.filename().string();
    name += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    tmp = dest;
    tmp.replace_filename(name);
    raw = registered.create(tmp, [&] {
      // 0666 so that the umask decides a new file's bits, as for a plain open-and-truncate
      return ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    });
    if (raw < 0 && (errno != EEXIST || attempt > 100)) {
      return Err{last_os_error()};
    }
  }
  UniqueFd fd(raw);
  const auto fail = [&](std::error_code ec) -> Result<Unit, std::error_code> {
    ::unlink(tmp.c_str());
    return Err{ec};
  };
  if (auto written = write_all(fd.get(), text); !written) {
    return fail(written.error());
  }
  // As root a user's file stays the user's; anyone else may keep at most their own groups.
  if (existed && ::fchown(fd.get(), old.st_uid, old.st_gid) != 0 && errno != EPERM) {
    return fail(last_os_error());
  }
  // after the chown, which may clear the set-id bits
  if (existed && ::fchmod(fd.get(), old.st_mode & 07777) != 0) {
    return fail(last_os_error());
  }
  if (::fsync(fd.get()) != 0) {
    return fail(last_os_error());
  }
  if (::close(fd.release()) != 0) {
    return fail(last_os_error());
  }
  if (::rename(tmp.c_str(), dest.c_str()) != 0) {
    return fail(last_os_error());
  }
  return sync_dir(dest);
}

}  // namespace pylon
