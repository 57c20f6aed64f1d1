#pragma once

#include "result.hpp"
#include "unique_fd.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace gitactivity {

// One marker removed by prune: the run that removed it, its name's bytes and its time.
struct JournalLine {
  std::uint64_t run = 0;
  std::string name;
  std::int64_t mtime_sec = 0;
  std::int64_t mtime_nsec = 0;

  bool operator==(const JournalLine&) const = default;
};

// A marker as prune removed it (or, in a dry run, would), with the time its journal line keeps.
struct Removed {
  std::string name;
  std::int64_t mtime_sec = 0;
  std::int64_t mtime_nsec = 0;
};

// How many runs that removed something the journal keeps.
inline constexpr std::size_t journal_runs = 20;
// The bytes the older runs may take together; the newest run is kept whatever its size.
inline constexpr std::uint64_t journal_bytes = std::uint64_t{32} << 20;
// The longest line read: a name of 255 bytes, each escaped as \xHH, and the rest of the line.
inline constexpr std::size_t journal_line_limit = 4096;
// Run numbers are below 2^53, so that any JSON reader reads them exactly.
inline constexpr std::uint64_t journal_run_limit = std::uint64_t{1} << 53;
// 9999-12-31T23:59:59Z: the last second a journal line may hold.
inline constexpr std::int64_t journal_last_second = 253402300799;

// The state directory: $XDG_STATE_HOME/pylon-host when it is absolute, else
// {home}/.local/state/pylon-host.
std::filesystem::path state_dir_from(const std::optional<std::string>& xdg_state_home,
                                     const std::filesystem::path& home);
std::filesystem::path state_dir();
// The name of a marker directory's journal, from its canonical path: "/" as "-", every byte but
// letters, digits and "._+,=@~" as %HH, so two directories never share one. A name that would be
// too long for a file is cut and ends in "#" and a 64-bit hash of the whole path.
std::string journal_key(std::string_view canonical_dir);
// The journal of one marker directory: journal{key}.jsonl in the state directory, keyed on the
// directory's canonical path (links and trailing slashes resolved, as far as it exists).
std::filesystem::path journal_file(const std::filesystem::path& state_dir,
                                   const std::filesystem::path& marker_dir);
// The names earlier versions gave the journal (prune{spelling with / as -}.jsonl), for the spelling
// given and for the canonical path: the first that exists is carried over once.
std::vector<std::filesystem::path> legacy_journal_files(const std::filesystem::path& state_dir,
                                                        const std::filesystem::path& marker_dir);

// Bytes as printable ASCII: a backslash, a single quote and every byte outside 0x20..0x7E become
// \xHH (so that the shell's $'...' reads it back too).
std::string escape_bytes(std::string_view bytes);
// The bytes escape_bytes wrote; nothing for any other text.
std::optional<std::string> unescape_bytes(std::string_view text);
// A line for it would read back: a single file name, a time from 1970 to the end of 9999. No
// removal may stand on any other line.
bool journal_holds(const Removed& removed);
// One line of the journal, newline included.
std::string journal_text(const JournalLine& line);
// The line or why it does not read: every member checked (run 1..2^53-1, a single file name,
// seconds 0..journal_last_second, nanoseconds 0..999999999), a repeated key refused.
Result<JournalLine, std::string> parse_journal_line(std::string_view text);

// A line of the journal that was passed over: its number (from 1) and why.
struct PassedOver {
  std::uint64_t line = 0;
  std::string why;

  bool operator==(const PassedOver&) const = default;
};
// The most lines passed over that a read names; it counts the rest.
inline constexpr std::size_t passed_over_named = 100;
struct JournalRead {
  std::vector<JournalLine> lines;
  std::vector<PassedOver> passed_over;  // the first passed_over_named
  std::uint64_t passed_over_count = 0;
  std::uint64_t complete = 0;  // bytes up to and with the last newline: a torn tail lies beyond
};
// Reads a journal a line at a time, each line bounded (journal_line_limit), the whole not.
class JournalReader {
 public:
  void feed(std::string_view bytes);
  JournalRead finish();

 private:
  void end_line();
  void pass_over(std::string why);
  JournalRead read_;
  std::string line_;
  std::uint64_t number_ = 1;
  std::uint64_t offset_ = 0;
  bool too_long_ = false;
};
JournalRead parse_journal(std::string_view text);

// The lines of the last `runs` runs, in order.
std::vector<JournalLine> last_runs(const std::vector<JournalLine>& lines, std::size_t runs);
// The lines kept by the trim: the newest run whatever its size, then older runs, newest first,
// while they are at most `runs` in all and their text fits in `bytes`.
std::vector<JournalLine> trimmed(const std::vector<JournalLine>& lines, std::size_t runs,
                                 std::uint64_t bytes);

// Why a journal could not be opened or read.
enum class JournalProblem {
  Os,         // the system's error at `where`
  Locked,     // another prune or restore held the lock file `where` to the deadline
  OtherUser,  // `where` (the state directory, the journal or its lock) another user may change
};
struct JournalError {
  JournalProblem problem = JournalProblem::Os;
  std::error_code error;
  std::filesystem::path where;
};

// The state directory as checked: held open, and its real path, the root of the gate's writes.
struct JournalDir {
  pylon::UniqueFd fd;
  std::filesystem::path real;
};

// Reads the journal without its lock and without writing (a dry run of restore): the journal, or
// the first legacy journal while it is not carried over yet; nothing there reads as empty.
Result<JournalRead, JournalError> peek_journal(const std::filesystem::path& file,
                                               const std::vector<std::filesystem::path>& legacy);

// The journal of a marker directory, held under its lock: one prune or restore at a time.
class PruneJournal {
 public:
  // Makes the state directory as needed (0700), refuses one another user may change, takes the
  // lock within the deadline, carries a legacy journal over, and reads the lines.
  static Result<PruneJournal, JournalError> open(const std::filesystem::path& file,
                                                 const std::vector<std::filesystem::path>& legacy,
                                                 std::chrono::steady_clock::time_point deadline);
  const std::filesystem::path& path() const { return path_; }
  const std::vector<JournalLine>& lines() const { return lines_; }
  const std::vector<PassedOver>& passed_over() const { return passed_over_; }
  std::uint64_t passed_over_count() const { return passed_over_count_; }
  // Appends the batch to this run in one write and syncs it once: only then may its markers go.
  // A time no line can hold is refused (ERANGE) before anything is written; after a failed
  // write the journal is cut back and every later append fails with that error.
  Result<Unit, std::error_code> append(std::span<const Removed> batch);
  // Keeps what `trimmed` keeps, and rewrites a journal that had lines passed over.
  Result<Unit, std::error_code> trim();

 private:
  PruneJournal(std::filesystem::path path, JournalDir dir, pylon::UniqueFd lock, JournalRead read);
  Result<Unit, std::error_code> rewrite(const std::vector<JournalLine>& lines);

  std::filesystem::path path_;
  JournalDir dir_;        // the state directory, as checked
  pylon::UniqueFd lock_;  // held to the end
  pylon::UniqueFd file_;  // opened for appending at the first batch of this run
  std::vector<JournalLine> lines_;
  std::vector<PassedOver> passed_over_;
  std::uint64_t passed_over_count_ = 0;
  std::uint64_t complete_ = 0;
  std::uint64_t run_ = 1;
  std::optional<std::error_code> broken_;
};

struct RestoreResult {
  std::vector<JournalLine> restored;  // or, in a dry run, that would be
  std::vector<std::string> skipped;   // a file of that name exists again
  std::vector<std::string> refused;   // not a single file name: never made
};

// Recreates the markers of `run` in the marker directory with their times, never over a name that
// exists and never a name that is not one entry of it; a dry run only reports.
Result<RestoreResult, std::error_code> restore_markers(const std::filesystem::path& marker_dir,
                                                       const std::vector<JournalLine>& run,
                                                       bool dry_run);

}  // namespace gitactivity
