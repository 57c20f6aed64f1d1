#include "cli/cli.hpp"
#include "text.hpp"

#include <optional>
#include <string_view>

namespace cli {
std::uint64_t timeout(const Args& args, std::uint64_t fallback) {
  const auto value = host::flag_value(args, "--timeout");
  if (!value) {
    return fallback;
  }
  const auto seconds = pylon::parse_u64(*value);
  if (!seconds || *seconds == 0) {
    return fallback;
  }
  return *seconds;
}

}  // namespace cli
