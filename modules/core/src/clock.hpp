#pragma once

#include <chrono>
#include <cstdint>

namespace pylon {

// Now plus `seconds` on the steady clock; a budget past what the clock can hold means no deadline
// (time_point::max()), never a wrapped one in the past.
std::chrono::steady_clock::time_point deadline_after(std::uint64_t seconds);

}  // namespace pylon
