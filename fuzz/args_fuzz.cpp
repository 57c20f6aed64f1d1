// parse_args, flag_value, timeout and the number readers on arbitrary argument lists.
#include "args.hpp"
#include "fuzz_support.hpp"
#include "text.hpp"

#include <algorithm>
#include <string>
#include <string_view>

namespace {

// True when `part` lies inside the storage of `whole`: positionals must point into the
// arguments themselves, never into a copy that is gone.
bool inside(std::string_view part, const std::string& whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const host::Args args = fuzz::split_args(data, size);

  // the first argument doubles as a value flag name, so that unusual names are tried too
  const std::string own_name = args.front();
  const std::string_view value_flags[] = {"--timeout", "--peer", own_name};
  const host::Parsed parsed = host::parse_args(args, value_flags);
  const auto separator = std::find(args.begin(), args.end(), std::string("--"));
  for (const std::string_view name : {std::string_view{"--timeout"}, std::string_view{own_name}}) {
    const auto value = parsed.flag_value(name);
    if (!value) {
      continue;
    }
    bool held = false;
    for (std::size_t i = 0; i < args.size() && !held; ++i) {
      held = (args[i] == name && i + 1 < args.size() && args[i + 1] == *value) ||
             args[i] == std::string(name) + "=" + *value;
    }
    fuzz::require(held, "flag_value gives what follows the flag");
  }

  // operands are arguments, in order; before the first "--" that is no value, never a flag
  std::size_t next = 0;
  for (const std::string_view p : parsed.operands) {
    while (next < args.size() && !inside(p, args[next])) {
      ++next;
    }
    fuzz::require(next < args.size() && p == args[next], "operands are arguments, in order");
    fuzz::require(!(p.starts_with("--") || p == "-h") ||
                      next > static_cast<std::size_t>(separator - args.begin()),
                  "an operand before the first \"--\" is not a flag");
    ++next;
  }

  const std::uint64_t seconds = host::timeout_seconds(parsed, 900);
  fuzz::require(seconds >= 1, "a deadline is at least one second");
  if (seconds != 900) {
    const auto value = parsed.flag_value("--timeout");
    fuzz::require(value && pylon::parse_u64(*value) == seconds,
                  "a deadline other than the default "
                  "comes from --timeout");
  }

  for (const std::string& arg : args) {
    if (const auto u = pylon::parse_u64(arg)) {
      fuzz::require(pylon::parse_u64(std::to_string(*u)) == u, "parse_u64 reads its own output");
    }
    if (const auto i = pylon::parse_i64(arg)) {
      fuzz::require(pylon::parse_i64(std::to_string(*i)) == i, "parse_i64 reads its own output");
    }
  }
  return 0;
}
