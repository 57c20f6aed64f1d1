#include "args.hpp"

#include "text.hpp"

#include <algorithm>

namespace host {
namespace {

bool is_one_of(std::string_view word, std::span<const std::string_view> names) {
  return std::find(names.begin(), names.end(), word) != names.end();
}

}  // namespace

std::optional<std::string> Parsed::flag_value(std::string_view name) const {
  const auto first = std::find_if(flags.begin(), flags.end(),
                                  [&](const FlagWord& flag) { return flag.name == name; });
  if (first == flags.end() || !first->value) {
    return std::nullopt;
  }
  return std::string(*first->value);
}

bool Parsed::has_flag(std::string_view name) const {
  return std::any_of(flags.begin(), flags.end(),
                     [&](const FlagWord& flag) { return flag.name == name && !flag.glued; });
}

Parsed Parsed::only(std::span<const std::string_view> names) const {
  Parsed kept{operands, {}};
  std::copy_if(flags.begin(), flags.end(), std::back_inserter(kept.flags),
               [&](const FlagWord& flag) { return is_one_of(flag.name, names); });
  return kept;
}

Parsed parse_args(const Args& args, std::span<const std::string_view> value_flags) {
  Parsed parsed;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h") {
      parsed.flags.push_back({arg, arg, std::nullopt, false});
      continue;
    }
    if (!arg.starts_with("--")) {
      parsed.operands.push_back(arg);
      continue;
    }
    const std::size_t eq = arg.find('=');
    FlagWord flag{arg, arg.substr(0, eq), std::nullopt, eq != std::string_view::npos};
    if (flag.glued) {
      flag.value = arg.substr(eq + 1);
    } else if (is_one_of(flag.name, value_flags) && i + 1 < args.size()) {
      flag.value = args[++i];
    }
    parsed.flags.push_back(flag);
  }
  for (; i < args.size(); ++i) {
    parsed.operands.push_back(args[i]);
  }
  return parsed;
}

std::uint64_t timeout_seconds(const Parsed& args, std::uint64_t fallback) {
  const auto value = args.flag_value("--timeout");
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
