#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

using Args = std::vector<std::string>;

// The value of the first `--name VALUE` or `--name=VALUE`; absent when the flag is missing or
// stands last without a value.
std::optional<std::string> flag_value(const Args& args, std::string_view name);

// The arguments that are not flags, in order; the argument after one of `value_flags` is its value
// and is dropped with it.
std::vector<std::string_view> positionals(const Args& args,
                                          std::initializer_list<std::string_view> value_flags);

// True when some argument is exactly `name` (`--apply=yes` is not `--apply`).
bool has_flag(const Args& args, std::string_view name);

// The seconds of `--timeout` when they read as a positive whole number (an optional '+', white
// space around it), else `fallback`.
std::uint64_t timeout_seconds(const Args& args, std::uint64_t fallback);

}  // namespace host
