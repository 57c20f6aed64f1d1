#pragma once

#include <chrono>
#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>

namespace cli {

// Whether a terminal of this TERM understands the cursor moves of a redrawn line: TERM set, and
// not "dumb".
bool redraws(const std::optional<std::string>& term);

// A one-line count of a repository walk, redrawn in place on a terminal at most ten times a
// second. Without a terminal that redraws it draws nothing, so scripts see only the verb's own
// output.
class Progress {
 public:
  explicit Progress(std::ostream* terminal);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  Progress(Progress&&) = delete;
  Progress& operator=(Progress&&) = delete;
  ~Progress() { clear(); }

  void walked() {
    ++directories_;
    draw();
  }
  void found(std::size_t repos) {
    repos_ += repos;
    draw();
  }
  void done() {
    ++done_;
    draw();
  }
  // Takes the line off the screen; the next draw puts it back.
  void clear();

 private:
  void draw();

  std::ostream* terminal_;
  std::size_t directories_ = 0;
  std::size_t repos_ = 0;
  std::size_t done_ = 0;
  bool shown_ = false;
  std::chrono::steady_clock::time_point next_{};
};

}  // namespace cli
