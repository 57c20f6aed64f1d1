#pragma once

#include "result.hpp"
#include "unique_fd.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
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

// How many runs that removed something the journal keeps.
inline constexpr std::size_t journal_runs = 20;

// The state directory: $XDG_STATE_HOME/pylon-host when it is absolute, else
// {home}/.local/state/pylon-host.
std::filesystem::path state_dir_from(const std::optional<std::string>& xdg_state_home,
                                     const std::filesystem::path& home);
std::filesystem::path state_dir();
// The journal of one marker directory: its path with "/" as "-" names it.
std::filesystem::path journal_file(const std::filesystem::path& state_dir,
                                   const std::filesystem::path& marker_dir);

// Bytes as printable ASCII: a backslash, a single quote and every byte outside 0x20..0x7E become
// \xHH (so that the shell's $'...' reads it back too).
std::string escape_bytes(std::string_view bytes);
// The bytes escape_bytes wrote; nothing for any other text.
std::optional<std::string> unescape_bytes(std::string_view text);
// One line of the journal, newline included.
std::string journal_text(const JournalLine& line);
// The lines of a journal; a line that does not read (torn by a crash) is left out.
std::vector<JournalLine> parse_journal(std::string_view text);
// The lines of the last `runs` runs, in order.
std::vector<JournalLine> last_runs(const std::vector<JournalLine>& lines, std::size_t runs);

// The journal of a marker directory, held under its lock: one prune or restore at a time.
class PruneJournal {
 public:
  // Creates the state directory and the journal as needed and waits for the lock.
  static Result<PruneJournal, std::error_code> open(const std::filesystem::path& file);
  const std::vector<JournalLine>& lines() const { return lines_; }
  // Appends the marker to this run and syncs it to disk: only then may the marker go.
  Result<Unit, std::error_code> append(const std::string& name, std::int64_t mtime_sec,
                                       std::int64_t mtime_nsec);
  // Drops all but the last journal_runs runs.
  Result<Unit, std::error_code> trim();

 private:
  PruneJournal(std::filesystem::path path, pylon::UniqueFd lock, std::vector<JournalLine> lines);

  std::filesystem::path path_;
  pylon::UniqueFd lock_;
  pylon::UniqueFd file_;  // opened for appending at the first line of this run
  std::vector<JournalLine> lines_;
  std::uint64_t run_ = 1;
};

struct RestoreResult {
  std::vector<JournalLine> restored;  // or, in a dry run, that would be
  std::vector<std::string> skipped;   // a file of that name exists again
};

// Recreates the markers of `run` in the marker directory with their times, never over a name that
// exists; a dry run only reports.
Result<RestoreResult, std::error_code> restore_markers(const std::filesystem::path& marker_dir,
                                                       const std::vector<JournalLine>& run,
                                                       bool dry_run);

}  // namespace gitactivity
