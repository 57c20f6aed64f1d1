#include "args.hpp"

#include "text.hpp"

#include <algorithm>

namespace host {

std::optional<std::string> flag_value(const Args& args, std::string_view name) {
  const std::string prefix = std::string(name) + "=";
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == name) {
      if (i + 1 < args.size()) {
        return args[i + 1];
      }
      return std::nullopt;
    }
    if (arg.starts_with(prefix)) {
      return std::string(arg.substr(prefix.size()));
    }
  }
  return std::nullopt;
}

std::vector<std::string_view> positionals(const Args& args,
                                          std::initializer_list<std::string_view> value_flags) {
  std::vector<std::string_view> out;
  bool skip = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (skip) {
      skip = false;
      continue;
    }
    if (arg.size() >= 2 && arg.starts_with("--")) {
      const bool takes_value =
          std::find(value_flags.begin(), value_flags.end(), arg) != value_flags.end();
      skip = takes_value && i + 1 < args.size();
      continue;
    }
    out.push_back(arg);
  }
  return out;
}

bool has_flag(const Args& args, std::string_view name) {
  return std::find(args.begin(), args.end(), name) != args.end();
}

std::uint64_t timeout_seconds(const Args& args, std::uint64_t fallback) {
  const auto value = flag_value(args, "--timeout");
  if (!value) {
    return fallback;
  }
  const auto seconds = pylon::parse_u64(*value);
  if (!seconds || *seconds == 0) {
    return fallback;
  }
  return *seconds;
}

}  // namespace host
