#include "cli/progress.hpp"

#include "env.hpp"

#include <ostream>
#include <string>

namespace cli {

bool redraws(const std::optional<std::string>& term) {
  return term && !term->empty() && *term != "dumb";
}

Progress::Progress(std::ostream* terminal)
    : terminal_(redraws(pylon::env_var("TERM")) ? terminal : nullptr) {
}

void Progress::draw() {
  if (terminal_ == nullptr) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now < next_) {
    return;
  }
  next_ = now + std::chrono::milliseconds(100);
  // "\r" and erase-to-end-of-line: a shorter line must not leave the tail of a longer one
  *terminal_ << "\r\x1b[K" << directories_ << " directories walked, " << done_ << " of " << repos_
             << " repositories done" << std::flush;
  shown_ = true;
}

void Progress::clear() {
  if (terminal_ == nullptr || !shown_) {
    return;
  }
  *terminal_ << "\r\x1b[K" << std::flush;
  shown_ = false;
  next_ = {};
}

}  // namespace cli
