#include "gitactivity/journal.hpp"

#include "env.hpp"
#include "files.hpp"
#include "gate.hpp"
#include "gitactivity/markers.hpp"
#include "text.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <nlohmann/json.hpp>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

Result<Unit, std::error_code> write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return Err{pylon::last_os_error()};
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return Unit{};
}

Result<Unit, std::error_code> sync_dir(const fs::path& dir) {
  const pylon::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || ::fsync(fd.get()) != 0) {
    return Err{pylon::last_os_error()};
  }
  return Unit{};
}

}  // namespace

fs::path state_dir_from(const std::optional<std::string>& xdg_state_home, const fs::path& home) {
  // a relative value is invalid by the XDG rules and ignored
  if (xdg_state_home && xdg_state_home->starts_with('/')) {
    return fs::path(*xdg_state_home) / "pylon-host";
  }
  return home / ".local" / "state" / "pylon-host";
}

fs::path state_dir() {
  return state_dir_from(pylon::env_var("XDG_STATE_HOME"), pylon::home_or_dot());
}

fs::path journal_file(const fs::path& state_dir, const fs::path& marker_dir) {
  // a relative marker directory is named after its absolute path: one journal per directory
  std::error_code ec;
  const fs::path absolute = fs::absolute(marker_dir, ec).lexically_normal();
  std::string name = "prune";
  name += encode_marker((ec ? marker_dir : absolute).native());
  name += ".jsonl";
  return state_dir / name;
}

std::string escape_bytes(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '\\' && c != '\'') {
      out += c;
    } else {
      out += "\\x";
      out += digits[byte >> 4];
      out += digits[byte & 0xF];
    }
  }
  return out;
}

std::optional<std::string> unescape_bytes(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 3 >= text.size()) {
      return std::nullopt;
    }
    const int high = hex_digit(text[i + 2]);
    const int low = hex_digit(text[i + 3]);
    if (text[i + 1] != 'x' || high < 0 || low < 0) {
      return std::nullopt;
    }
    out += static_cast<char>((high << 4) | low);
    i += 3;
  }
  return out;
}

std::string journal_text(const JournalLine& line) {
  nlohmann::ordered_json value;
  value["run"] = line.run;
  value["name"] = escape_bytes(line.name);
  value["mtime"] = line.mtime_sec;
  value["mtime_nsec"] = line.mtime_nsec;
  return value.dump() + "\n";
}

std::vector<JournalLine> parse_journal(std::string_view text) {
  std::vector<JournalLine> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      break;  // a line without its newline was torn by a crash: its marker was never removed
    }
    const nlohmann::json value = nlohmann::json::parse(text.substr(0, end), nullptr, false);
    text.remove_prefix(end + 1);
    if (!value.is_object()) {
      continue;
    }
    const auto run = value.find("run");
    const auto name = value.find("name");
    const auto sec = value.find("mtime");
    const auto nsec = value.find("mtime_nsec");
    if (run == value.end() || !run->is_number_unsigned() || name == value.end() ||
        !name->is_string() || sec == value.end() || !sec->is_number_integer() ||
        nsec == value.end() || !nsec->is_number_integer()) {
      continue;
    }
    auto bytes = unescape_bytes(name->get<std::string>());
    if (!bytes || bytes->empty()) {
      continue;
    }
    lines.push_back({run->get<std::uint64_t>(), std::move(*bytes), sec->get<std::int64_t>(),
                     nsec->get<std::int64_t>()});
  }
  return lines;
}

std::vector<JournalLine> last_runs(const std::vector<JournalLine>& lines, std::size_t runs) {
  std::vector<std::uint64_t> ids;
  ids.reserve(lines.size());
  for (const JournalLine& line : lines) {
    ids.push_back(line.run);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  if (ids.size() > runs) {
    ids.erase(ids.begin(), ids.end() - static_cast<std::ptrdiff_t>(runs));
  }
  std::vector<JournalLine> kept;
  for (const JournalLine& line : lines) {
    if (std::binary_search(ids.begin(), ids.end(), line.run)) {
      kept.push_back(line);
    }
  }
  return kept;
}

PruneJournal::PruneJournal(fs::path path, pylon::UniqueFd lock, std::vector<JournalLine> lines)
    : path_(std::move(path)), lock_(std::move(lock)), lines_(std::move(lines)) {
  for (const JournalLine& line : lines_) {
    run_ = std::max(run_, line.run + 1);
  }
}

Result<PruneJournal, std::error_code> PruneJournal::open(const fs::path& file) {
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  if (ec) {
    return Err{ec};
  }
  pylon::UniqueFd lock(
      ::open((file.native() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) {
    return Err{pylon::last_os_error()};
  }
  // another prune of the same directory holds it until it is done: take turns
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      return Err{pylon::last_os_error()};
    }
  }
  auto text = pylon::read_file(file);
  if (!text && text.error() != std::errc::no_such_file_or_directory) {
    return Err{text.error()};
  }
  return PruneJournal(file, std::move(lock),
                      text ? parse_journal(text.value()) : std::vector<JournalLine>());
}

Result<Unit, std::error_code> PruneJournal::append(const std::string& name, std::int64_t mtime_sec,
                                                   std::int64_t mtime_nsec) {
  if (!file_) {
    const bool existed = ::access(path_.c_str(), F_OK) == 0;
    file_ = pylon::UniqueFd(
        ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file_) {
      return Err{pylon::last_os_error()};
    }
    if (!existed) {
      if (auto synced = sync_dir(path_.parent_path()); !synced) {
        return synced;
      }
    }
  }
  const JournalLine line{run_, name, mtime_sec, mtime_nsec};
  if (auto written = write_all(file_.get(), journal_text(line)); !written) {
    return written;
  }
  if (::fsync(file_.get()) != 0) {
    return Err{pylon::last_os_error()};
  }
  lines_.push_back(line);
  return Unit{};
}

Result<Unit, std::error_code> PruneJournal::trim() {
  const std::vector<JournalLine> kept = last_runs(lines_, journal_runs);
  if (kept.size() == lines_.size()) {
    return Unit{};
  }
  std::string text;
  for (const JournalLine& line : kept) {
    text += journal_text(line);
  }
  if (auto written = pylon::write_atomic(path_, text); !written) {
    return written;
  }
  lines_ = kept;
  file_.reset();
  return Unit{};
}

Result<RestoreResult, std::error_code> restore_markers(const fs::path& marker_dir,
                                                       const std::vector<JournalLine>& run,
                                                       bool dry_run) {
  RestoreResult result;
  std::error_code ec;
  if (!dry_run) {
    fs::create_directories(marker_dir, ec);
    if (ec) {
      return Err{ec};
    }
  }
  const pylon::UniqueFd dir(::open(marker_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir && !(dry_run && errno == ENOENT)) {
    return Err{pylon::last_os_error()};
  }
  for (const JournalLine& line : run) {
    struct stat st {};
    if (dir && ::fstatat(dir.get(), line.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      result.skipped.push_back(line.name);
      continue;
    }
    if (dry_run) {
      result.restored.push_back(line);
      continue;
    }
    // never over a name that came back meanwhile, nor through a link
    const pylon::UniqueFd made(::openat(
        dir.get(), line.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!made) {
      if (errno == EEXIST) {
        result.skipped.push_back(line.name);
        continue;
      }
      return Err{pylon::last_os_error()};
    }
    struct timespec when {};
    when.tv_sec = static_cast<time_t>(line.mtime_sec);
    when.tv_nsec = static_cast<long>(line.mtime_nsec);
    const struct timespec times[2] = {when, when};
    if (::futimens(made.get(), times) != 0) {
      return Err{pylon::last_os_error()};
    }
    result.restored.push_back(line);
  }
  return result;
}

}  // namespace gitactivity
