#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

using Args = std::vector<std::string>;

// One flag as typed, before the lone "--" that ends the flags.
struct FlagWord {
  std::string_view text;                  // the whole argument
  std::string_view name;                  // up to the first '='
  std::optional<std::string_view> value;  // after '=', or the next argument for a value flag
  bool glued = false;                     // written NAME=VALUE
};

// An argument list read once: what a verb reads. Views into the list it was parsed from.
struct Parsed {
  std::vector<std::string_view> operands;  // in order, the verb first
  std::vector<FlagWord> flags;             // in order

  // The value of the first `name` (`--name VALUE` or `--name=VALUE`); absent when the flag is
  // missing or stands last without a value.
  std::optional<std::string> flag_value(std::string_view name) const;
  // True when `name` was typed as a whole argument (`--apply=yes` is not `--apply`).
  bool has_flag(std::string_view name) const;
  // The same, keeping only the flags named in `names`: a verb never sees a flag it does not read.
  Parsed only(std::span<const std::string_view> names) const;
};

// Reads `args` against a verb group's value flags. A value flag takes the next argument as its
// value, whatever it is (a "--" too); a lone "--" otherwise ends the flags, and every argument
// after it is an operand. "-h" is a flag; a lone "-" and other single-dash words are operands.
Parsed parse_args(const Args& args, std::span<const std::string_view> value_flags);

// The seconds of `--timeout` when they read as a positive whole number (an optional '+', white
// space around it), else `fallback`.
std::uint64_t timeout_seconds(const Parsed& args, std::uint64_t fallback);

}  // namespace host
