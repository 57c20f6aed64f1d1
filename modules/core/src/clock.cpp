#include "clock.hpp"

namespace pylon {

std::chrono::steady_clock::time_point deadline_after(std::uint64_t seconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  const auto room =
      std::chrono::duration_cast<std::chrono::seconds>(Clock::time_point::max() - now);
  if (seconds >= static_cast<std::uint64_t>(room.count())) {
    return Clock::time_point::max();
  }
  return now + std::chrono::seconds(seconds);
}

}  // namespace pylon
