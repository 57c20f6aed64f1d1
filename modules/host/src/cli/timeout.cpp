#include "cli/cli.hpp"
#include "text.hpp"

#include <charconv>
#include <optional>
#include <string_view>

namespace cli {
namespace {

template <class T>
std::optional<T> parse_decimal(std::string_view digits) {
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
    return std::nullopt;  // from_chars would take a sign we did not allow here
  }
  T value{};
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc{} || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  text = pylon::trim(text);
  if (text.starts_with('+')) {
    text.remove_prefix(1);
  }
  return parse_decimal<std::uint64_t>(text);
}

std::optional<std::int64_t> parse_i64(std::string_view text) {
  text = pylon::trim(text);
  if (text.starts_with('+')) {
    text.remove_prefix(1);
    return parse_decimal<std::int64_t>(text);
  }
  if (text.starts_with('-')) {
    // parse the magnitude with its sign so that the minimum value reads too
    const std::string_view magnitude = text.substr(1);
    if (magnitude.empty() || magnitude.front() < '0' || magnitude.front() > '9') {
      return std::nullopt;
    }
    std::int64_t value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) {
      return std::nullopt;
    }
    return value;
  }
  return parse_decimal<std::int64_t>(text);
}

std::uint64_t timeout(const Args& args, std::uint64_t fallback) {
  const auto value = host::flag_value(args, "--timeout");
  if (!value) {
    return fallback;
  }
  const auto seconds = parse_u64(*value);
  if (!seconds || *seconds == 0) {
    return fallback;
  }
  return *seconds;
}

}  // namespace cli
