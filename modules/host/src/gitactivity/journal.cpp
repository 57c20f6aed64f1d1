#include "gitactivity/journal.hpp"

#include "env.hpp"
#include "files.hpp"
#include "gate.hpp"
#include "gitactivity/markers.hpp"
#include "json.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

constexpr char hex_digits[] = "0123456789abcdef";
// The longest key kept whole: journal{key}.jsonl and .lock stay within 255 bytes.
constexpr std::size_t key_limit = 230;

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

JournalError os_error(fs::path where) {
  return {JournalProblem::Os, pylon::last_os_error(), std::move(where)};
}
JournalError other_user(fs::path where) {
  return {JournalProblem::OtherUser, std::make_error_code(std::errc::permission_denied),
          std::move(where)};
}

Result<Unit, std::error_code> write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return Err{n < 0 ? pylon::last_os_error()
                       : std::make_error_code(std::errc::no_space_on_device)};
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return Unit{};
}

// A state directory, journal or lock that only the running user may change: its own, no write bit
// for group or others. Root is held to it too: sudo -E leaves it another user's state directory.
bool own(const struct stat& st) {
  return st.st_uid == ::geteuid() && (st.st_mode & 022) == 0;
}

JournalError refused(const pylon::GateRefusal& refusal, const fs::path& path) {
  return {JournalProblem::Os, refusal.error, refusal.where.empty() ? path : refusal.where};
}

// Opens the state directory, made as needed. Every directory above it must be the running user's
// or root's, and not writable by others unless sticky; nothing there reads as no directory. Its
// own group write bit, which a umask of 002 leaves on (earlier versions made it so), is taken away
// by a real run rather than refused: its files are checked one by one.
Result<std::optional<JournalDir>, JournalError> open_state_dir(const fs::path& dir, bool create) {
  if (create) {
    pylon::Write w;
    w.action = pylon::WriteAction::MakeDirs;
    w.root = dir;
    w.dir_mode = 0700;  // the state directory is the user's alone, whatever the umask
    if (auto made = pylon::gate(w); !made) {
      return Err{refused(made.error(), dir)};
    }
  }
  char* resolved = ::realpath(dir.c_str(), nullptr);
  if (resolved == nullptr) {
    if (!create && errno == ENOENT) {
      return std::optional<JournalDir>();
    }
    return Err{os_error(dir)};
  }
  JournalDir state{pylon::UniqueFd(), fs::path(resolved)};
  std::free(resolved);  // NOLINT(cppcoreguidelines-no-malloc): realpath's own buffer
  for (fs::path up = state.real.parent_path(); !up.empty(); up = up.parent_path()) {
    struct stat st {};
    if (::lstat(up.c_str(), &st) != 0) {
      return Err{os_error(up)};
    }
    if ((st.st_uid != ::geteuid() && st.st_uid != 0) ||
        ((st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) == 0)) {
      return Err{other_user(up)};
    }
    if (up == up.root_path()) {
      break;
    }
  }
  state.fd.reset(::open(state.real.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!state.fd || ::fstat(state.fd.get(), &st) != 0) {
    return Err{os_error(dir)};
  }
  // a dry run (no `create`) writes nothing: it reads as the real run will have it
  if (st.st_uid == ::geteuid() && (st.st_mode & 022) == S_IWGRP) {
    pylon::Write narrow;
    narrow.action = pylon::WriteAction::Restrict;
    narrow.root = state.real;
    narrow.root_fd = state.fd.get();
    narrow.mode = 07755;
    narrow.dry_run = !create;
    if (pylon::gate(narrow)) {
      st.st_mode &= 07755;
    }
  }
  if (!own(st)) {
    return Err{other_user(dir)};
  }
  return std::optional<JournalDir>(std::move(state));
}

// A file of the state directory as opened: a regular file of the running user's alone (with one
// name, when it is written).
Result<Unit, JournalError> check_own(int fd, const fs::path& path, bool written) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    return Err{os_error(path)};
  }
  if (!S_ISREG(st.st_mode)) {
    return Err{JournalError{JournalProblem::Os, pylon::not_regular_file(), path}};
  }
  if (!own(st) || (written && st.st_nlink != 1)) {
    return Err{other_user(path)};
  }
  return Unit{};
}

// Opens a file of the state directory for reading, never through a link.
Result<pylon::UniqueFd, JournalError> open_own(const JournalDir& state, const fs::path& path) {
  pylon::UniqueFd fd(::openat(state.fd.get(), path.filename().c_str(),
                              O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    return Err{os_error(path)};
  }
  if (auto checked = check_own(fd.get(), path, false); !checked) {
    return Err{checked.error()};
  }
  return fd;
}

// A write to a file of the state directory, through the gate; Append and Create give the
// descriptor, checked as open_own checks.
Result<pylon::UniqueFd, JournalError> gate_own(const JournalDir& state, const fs::path& path,
                                               pylon::WriteAction action,
                                               std::string_view text = {}) {
  pylon::Write w;
  w.action = action;
  w.root = state.real;
  w.target = path.filename();
  w.text = text;
  w.mode = 0600;
  auto done = pylon::gate(w);
  if (!done) {
    return Err{refused(done.error(), path)};
  }
  pylon::UniqueFd fd = std::move(done.value().fd);
  if (fd) {
    if (auto checked = check_own(fd.get(), path, true); !checked) {
      return Err{checked.error()};
    }
  }
  return fd;
}

// The lock within the deadline: a prune suspended with its lock must not hold every other forever.
Result<pylon::UniqueFd, JournalError> lock_within(const JournalDir& state, const fs::path& lock,
                                                  std::chrono::steady_clock::time_point deadline) {
  auto fd = gate_own(state, lock, pylon::WriteAction::Append);
  if (!fd) {
    return fd;
  }
  auto pause = std::chrono::milliseconds(5);
  while (::flock(fd.value().get(), LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error != EINTR && error != EWOULDBLOCK) {
      return Err{os_error(lock)};
    }
    const auto now = std::chrono::steady_clock::now();
    if (error == EWOULDBLOCK && now >= deadline) {
      return Err{JournalError{JournalProblem::Locked,
                              std::make_error_code(std::errc::resource_unavailable_try_again),
                              lock}};
    }
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(200));
  }
  return fd;
}

Result<std::optional<JournalRead>, JournalError> read_own(const JournalDir& state,
                                                          const fs::path& path) {
  struct stat st {};
  if (::fstatat(state.fd.get(), path.filename().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
      errno == ENOENT) {
    return std::optional<JournalRead>();
  }
  auto fd = open_own(state, path);
  if (!fd) {
    return Err{fd.error()};
  }
  JournalReader reader;
  if (auto read = pylon::read_chunks(fd.value().get(), [&](std::string_view b) { reader.feed(b); });
      !read) {
    return Err{JournalError{JournalProblem::Os, read.error(), path}};
  }
  return std::optional<JournalRead>(reader.finish());
}

std::string text_of(const std::vector<JournalLine>& lines) {
  std::string text;
  for (const JournalLine& line : lines) {
    text += journal_text(line);
  }
  return text;
}

// Carries the first legacy journal that exists over to `file` (which does not exist), under the
// legacy lock too, and removes it: read once, never again.
Result<Unit, JournalError> carry_over(const JournalDir& state, const fs::path& file,
                                      const std::vector<fs::path>& legacy,
                                      std::chrono::steady_clock::time_point deadline) {
  for (const fs::path& old : legacy) {
    struct stat st {};
    if (::fstatat(state.fd.get(), old.filename().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    auto old_lock = lock_within(state, old.native() + ".lock", deadline);
    if (!old_lock) {
      return Err{old_lock.error()};
    }
    auto read = read_own(state, old);
    if (!read) {
      return Err{read.error()};
    }
    if (!read.value()) {
      continue;  // carried over by another run meanwhile
    }
    auto made = gate_own(state, file, pylon::WriteAction::Create, text_of(read.value()->lines));
    if (!made) {
      return Err{made.error()};
    }
    if (::fsync(made.value().get()) != 0 || ::fsync(state.fd.get()) != 0) {
      return Err{os_error(file)};
    }
    if (auto removed = gate_own(state, old, pylon::WriteAction::Remove); !removed) {
      return Err{removed.error()};
    }
    return Unit{};
  }
  return Unit{};
}

std::uint64_t fnv1a(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : bytes) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  return hash;
}

std::string without_trailing_slashes(std::string text) {
  while (text.size() > 1 && text.ends_with('/')) {
    text.pop_back();
  }
  return text;
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

std::string journal_key(std::string_view canonical_dir) {
  static constexpr std::string_view kept = "._+,=@~";
  std::string key;
  for (const char c : canonical_dir) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/') {
      key += '-';
    } else if ((byte < 0x80 && std::isalnum(byte) != 0) || kept.find(c) != std::string_view::npos) {
      key += c;
    } else {
      key += '%';
      key += hex_digits[byte >> 4];
      key += hex_digits[byte & 0xF];
    }
  }
  if (key.size() > key_limit) {
    // "#" is always escaped above, so a cut key never equals a whole one
    const std::uint64_t hash = fnv1a(canonical_dir);
    key.resize(key_limit - 17);
    key += '#';
    for (int shift = 60; shift >= 0; shift -= 4) {
      key += hex_digits[(hash >> shift) & 0xF];
    }
  }
  return key;
}

fs::path journal_file(const fs::path& state_dir, const fs::path& marker_dir) {
  std::error_code ec;
  fs::path canonical = fs::weakly_canonical(fs::absolute(marker_dir, ec), ec);
  if (ec) {
    canonical = fs::absolute(marker_dir, ec).lexically_normal();
  }
  return state_dir /
         ("journal" + journal_key(without_trailing_slashes(canonical.native())) + ".jsonl");
}

std::vector<fs::path> legacy_journal_files(const fs::path& state_dir, const fs::path& marker_dir) {
  std::error_code ec;
  const fs::path spelt = fs::absolute(marker_dir, ec).lexically_normal();
  std::vector<fs::path> files;
  for (const std::string& dir :
       {spelt.native(), without_trailing_slashes(fs::weakly_canonical(spelt, ec).native())}) {
    const fs::path file = state_dir / ("prune" + encode_marker(dir) + ".jsonl");
    if (!dir.empty() && std::find(files.begin(), files.end(), file) == files.end()) {
      files.push_back(file);
    }
  }
  return files;
}

bool journal_holds(const Removed& removed) {
  return removed.mtime_sec >= 0 && removed.mtime_sec <= journal_last_second &&
         removed.mtime_nsec >= 0 && removed.mtime_nsec <= 999999999 &&
         pylon::is_single_name(removed.name);
}

std::string escape_bytes(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '\\' && c != '\'') {
      out += c;
    } else {
      out += "\\x";
      out += hex_digits[byte >> 4];
      out += hex_digits[byte & 0xF];
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
  // written by hand, read by the JSON parser: escape_bytes leaves only printable ASCII, of which
  // JSON escapes the quote and the backslash
  std::string text = "{\"run\":" + std::to_string(line.run) + ",\"name\":\"";
  for (const char c : escape_bytes(line.name)) {
    if (c == '"' || c == '\\') {
      text += '\\';
    }
    text += c;
  }
  text += "\",\"mtime\":" + std::to_string(line.mtime_sec) +
          ",\"mtime_nsec\":" + std::to_string(line.mtime_nsec) + "}\n";
  return text;
}

Result<JournalLine, std::string> parse_journal_line(std::string_view text) {
  auto parsed = pylon::parse_json(text, [](const pylon::JsonPath&) { return true; });
  if (!parsed) {
    return Err{"not JSON: " + parsed.error()};
  }
  const nlohmann::json& value = parsed.value();
  if (!value.is_object()) {
    return Err{std::string("not a JSON object")};
  }
  // a whole number in [low, high]; JSON's negative numbers are the signed ones
  const auto number = [&](const char* key, std::int64_t low,
                          std::uint64_t high) -> std::optional<std::uint64_t> {
    const auto it = value.find(key);
    if (it == value.end() || !it->is_number_integer()) {
      return std::nullopt;
    }
    if (!it->is_number_unsigned()) {
      const auto n = it->get<std::int64_t>();
      return n >= low && n >= 0 && static_cast<std::uint64_t>(n) <= high
                 ? std::optional<std::uint64_t>(n)
                 : std::nullopt;
    }
    const auto n = it->get<std::uint64_t>();
    return n <= high && (low <= 0 || n >= static_cast<std::uint64_t>(low))
               ? std::optional<std::uint64_t>(n)
               : std::nullopt;
  };
  const auto run = number("run", 1, journal_run_limit - 1);
  if (!run) {
    return Err{std::string("\"run\" is not a whole number from 1 to 2^53-1")};
  }
  const auto name = value.find("name");
  if (name == value.end() || !name->is_string()) {
    return Err{std::string("\"name\" is not text")};
  }
  auto bytes = unescape_bytes(name->get<std::string>());
  if (!bytes) {
    return Err{std::string("\"name\" holds a backslash that is no \\xHH escape")};
  }
  if (!pylon::is_single_name(*bytes)) {
    return Err{"\"name\" is not a single file name: '" + escape_bytes(*bytes) + "'"};
  }
  const auto sec = number("mtime", 0, journal_last_second);
  if (!sec) {
    return Err{std::string("\"mtime\" is not a whole number of seconds from 0 to the end of 9999")};
  }
  const auto nsec = number("mtime_nsec", 0, 999999999);
  if (!nsec) {
    return Err{std::string("\"mtime_nsec\" is not a whole number from 0 to 999999999")};
  }
  return JournalLine{*run, std::move(*bytes), static_cast<std::int64_t>(*sec),
                     static_cast<std::int64_t>(*nsec)};
}

void JournalReader::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::string_view part = bytes.substr(0, end);
    if (!too_long_ && line_.size() + part.size() > journal_line_limit) {
      too_long_ = true;  // passed over: what is kept of a line stays bounded
      line_.clear();
    } else if (!too_long_) {
      line_.append(part);
    }
    offset_ += part.size();
    if (end == std::string_view::npos) {
      return;
    }
    ++offset_;
    end_line();
    bytes.remove_prefix(end + 1);
  }
}

void JournalReader::pass_over(std::string why) {
  if (read_.passed_over.size() < passed_over_named) {
    read_.passed_over.push_back({number_, std::move(why)});
  }
  ++read_.passed_over_count;
}

void JournalReader::end_line() {
  if (too_long_) {
    pass_over("longer than 4096 bytes");
  } else if (auto line = parse_journal_line(line_); line) {
    read_.lines.push_back(std::move(line.value()));
  } else {
    pass_over(line.error());
  }
  read_.complete = offset_;
  ++number_;
  line_.clear();
  too_long_ = false;
}

JournalRead JournalReader::finish() {
  if (!line_.empty() || too_long_) {
    pass_over("no newline at its end: a write that did not finish, so its marker was kept");
  }
  line_.clear();
  too_long_ = false;
  return std::move(read_);
}

JournalRead parse_journal(std::string_view text) {
  JournalReader reader;
  reader.feed(text);
  return reader.finish();
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

std::vector<JournalLine> trimmed(const std::vector<JournalLine>& lines, std::size_t runs,
                                 std::uint64_t bytes) {
  std::map<std::uint64_t, std::uint64_t> sizes;  // run -> bytes of its lines
  for (const JournalLine& line : lines) {
    sizes[line.run] += journal_text(line).size();
  }
  std::uint64_t total = 0;
  std::size_t count = 0;
  std::uint64_t oldest_kept = 0;
  for (auto it = sizes.rbegin(); it != sizes.rend(); ++it) {
    // the newest run is kept whatever its size: it is what --restore puts back
    if (count > 0 && (count == runs || total + it->second > bytes)) {
      break;
    }
    total += it->second;
    ++count;
    oldest_kept = it->first;
  }
  std::vector<JournalLine> kept;
  for (const JournalLine& line : lines) {
    if (line.run >= oldest_kept) {
      kept.push_back(line);
    }
  }
  return kept;
}

Result<JournalRead, JournalError> peek_journal(const fs::path& file,
                                               const std::vector<fs::path>& legacy) {
  auto dir = open_state_dir(file.parent_path(), false);
  if (!dir) {
    return Err{dir.error()};
  }
  if (!dir.value()) {
    return JournalRead{};
  }
  for (const fs::path& path : [&] {
         std::vector<fs::path> all{file};
         all.insert(all.end(), legacy.begin(), legacy.end());
         return all;
       }()) {
    auto read = read_own(*dir.value(), path);
    if (!read) {
      return Err{read.error()};
    }
    if (read.value()) {
      return std::move(*read.value());
    }
  }
  return JournalRead{};
}

PruneJournal::PruneJournal(fs::path path, JournalDir dir, pylon::UniqueFd lock, JournalRead read)
    : path_(std::move(path)),
      dir_(std::move(dir)),
      lock_(std::move(lock)),
      lines_(std::move(read.lines)),
      passed_over_(std::move(read.passed_over)),
      passed_over_count_(read.passed_over_count),
      complete_(read.complete) {
  for (const JournalLine& line : lines_) {
    run_ = std::max(run_, line.run + 1);
  }
}

Result<PruneJournal, JournalError> PruneJournal::open(
    const fs::path& file, const std::vector<fs::path>& legacy,
    std::chrono::steady_clock::time_point deadline) {
  auto dir = open_state_dir(file.parent_path(), true);
  if (!dir) {
    return Err{dir.error()};
  }
  const JournalDir& state = *dir.value();
  auto lock = lock_within(state, fs::path(file).replace_extension(".lock"), deadline);
  if (!lock) {
    return Err{lock.error()};
  }
  auto read = read_own(state, file);
  if (read && !read.value()) {
    if (auto carried = carry_over(state, file, legacy, deadline); !carried) {
      return Err{carried.error()};
    }
    read = read_own(state, file);
  }
  if (!read) {
    return Err{read.error()};
  }
  return PruneJournal(file, std::move(*dir.value()), std::move(lock.value()),
                      read.value() ? std::move(*read.value()) : JournalRead{});
}

Result<Unit, std::error_code> PruneJournal::rewrite(const std::vector<JournalLine>& lines) {
  const std::string text = text_of(lines);
  if (auto written = gate_own(dir_, path_, pylon::WriteAction::Replace, text); !written) {
    return Err{written.error().error};
  }
  lines_ = lines;
  passed_over_.clear();
  passed_over_count_ = 0;
  complete_ = text.size();
  file_.reset();
  return Unit{};
}

Result<Unit, std::error_code> PruneJournal::append(std::span<const Removed> batch) {
  if (broken_) {
    return Err{*broken_};
  }
  for (const Removed& removed : batch) {
    if (!journal_holds(removed)) {
      return Err{std::make_error_code(std::errc::result_out_of_range)};
    }
  }
  if (run_ >= journal_run_limit) {
    // numbered again from 1 in order, so that no later run hides behind the limit
    std::map<std::uint64_t, std::uint64_t> order;
    for (const JournalLine& line : lines_) {
      order.emplace(line.run, 0);
    }
    run_ = 1;
    for (auto& [old, now] : order) {
      now = run_++;
    }
    std::vector<JournalLine> lines = lines_;
    for (JournalLine& line : lines) {
      line.run = order[line.run];
    }
    if (auto written = rewrite(lines); !written) {
      return written;
    }
  }
  if (!file_) {
    struct stat st {};
    auto opened = gate_own(dir_, path_, pylon::WriteAction::Append);
    if (!opened) {
      return Err{opened.error().error};
    }
    file_ = std::move(opened.value());
    // a torn last line records no removal: cut it, so that this run starts on a line of its own
    if (::fstat(file_.get(), &st) != 0 ||
        (static_cast<std::uint64_t>(st.st_size) > complete_ &&
         ::ftruncate(file_.get(), static_cast<off_t>(complete_)) != 0) ||
        ::fsync(dir_.fd.get()) != 0) {
      return Err{pylon::last_os_error()};
    }
  }
  std::vector<JournalLine> lines;
  std::string text;
  for (const Removed& removed : batch) {
    lines.push_back({run_, removed.name, removed.mtime_sec, removed.mtime_nsec});
    text += journal_text(lines.back());
  }
  auto written = write_all(file_.get(), text);
  if (!written || ::fsync(file_.get()) != 0) {
    broken_ = written ? pylon::last_os_error() : written.error();
    (void)::ftruncate(file_.get(), static_cast<off_t>(complete_));  // best effort: no torn line
    return Err{*broken_};
  }
  complete_ += text.size();
  lines_.insert(lines_.end(), std::make_move_iterator(lines.begin()),
                std::make_move_iterator(lines.end()));
  return Unit{};
}

Result<Unit, std::error_code> PruneJournal::trim() {
  std::vector<JournalLine> kept = trimmed(lines_, journal_runs, journal_bytes);
  if (kept.size() == lines_.size() && passed_over_.empty()) {
    return Unit{};
  }
  return rewrite(kept);
}

Result<RestoreResult, std::error_code> restore_markers(const fs::path& marker_dir,
                                                       const std::vector<JournalLine>& run,
                                                       bool dry_run) {
  RestoreResult result;
  for (const JournalLine& line : run) {
    if (!pylon::is_single_name(line.name)) {
      result.refused.push_back(line.name);  // "../x" would be made outside the marker directory
      continue;
    }
    // through the gate: never over a name that exists or came back meanwhile, nor through a link
    pylon::Write w;
    w.action = pylon::WriteAction::Create;
    w.root = marker_dir;
    w.make_root = true;
    w.target = line.name;
    w.dry_run = dry_run;
    auto made = pylon::gate(w);
    if (!made) {
      const std::error_code& error = made.error().error;
      if (error != std::errc::file_exists && error != pylon::not_regular_file() &&
          error != pylon::gate_error(pylon::GateRule::Link)) {
        return Err{error};
      }
      result.skipped.push_back(line.name);  // whatever stands there now stays
      continue;
    }
    if (!dry_run) {
      struct timespec when {};
      when.tv_sec = static_cast<time_t>(line.mtime_sec);
      when.tv_nsec = static_cast<long>(line.mtime_nsec);
      const struct timespec times[2] = {when, when};
      if (::futimens(made.value().fd.get(), times) != 0) {
        return Err{pylon::last_os_error()};
      }
    }
    result.restored.push_back(line);
  }
  return result;
}

}  // namespace gitactivity
