#include "cli/verbs.hpp"

#include <algorithm>
#include <array>
#include <ostream>
#include <vector>

namespace cli {
namespace {

constexpr FlagInfo flag_table[] = {
    {"--peer", "NAME", "quaylink peer to talk to (see `quaylink peers`)"},
    {"--json", "", "machine-readable output (stable, grow-only schema)"},
    {"--all", "", "status: every repository that has a marker"},
    {"--timeout", "S", "deadline in seconds (transfers 900, listings 60, walks 300)"},
    {"--at", "EPOCH", "record a marker at a specific commit time instead of now"},
    {"--apply", "", "perform the migration instead of describing it"},
    {"--open", "", "also open the share directory in the desktop file manager"},
    {"--dry-run", "",
     "enable-all/disable-all/prune/--global: say what would change, change nothing"},
    {"--global", "", "enable/disable: the recorder in git's global configuration (git 2.54+)"},
    {"--head", "", "record: the time of the commit HEAD points at, where the marker is older"},
    {"--restore", "", "prune: recreate the markers the last prune removed, with their times"},
    {"--help", "", "this help; after a verb group or a verb, its usage", "-h"},
    {"--version", "", "print the version (first word only)", "", false},
};

const FlagInfo* find_flag(std::string_view name) {
  const auto* const found = std::find_if(std::begin(flag_table), std::end(flag_table),
                                         [&](const FlagInfo& f) { return f.name == name; });
  return found == std::end(flag_table) ? nullptr : found;
}

bool reads(const VerbInfo& verb, std::string_view flag) {
  const std::vector<std::string_view> flags = flags_of(verb);
  return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

std::string joined(const std::vector<std::string_view>& words, std::string_view between) {
  std::string text;
  for (const std::string_view word : words) {
    if (!text.empty()) {
      text += between;
    }
    text += word;
  }
  return text;
}

std::vector<std::string_view> names(const Group& group) {
  std::vector<std::string_view> out;
  for (const VerbInfo& verb : group.verbs) {
    out.push_back(verb.name);
  }
  return out;
}

// Edits between two words, a swap of neighbours counting as one (optimal string alignment).
std::size_t distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) {
    d[i][0] = i;
  }
  for (std::size_t j = 0; j <= b.size(); ++j) {
    d[0][j] = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// A flag the program has, in the form typed: a switch bare, a value flag bare or with "=".
bool known(const host::FlagWord& flag) {
  if (flag.name == "-h") {
    return true;
  }
  const FlagInfo* info = find_flag(flag.name);
  return info != nullptr && info->after_verb && (!flag.glued || !info->value_name.empty());
}

std::optional<HostError> unknown_flag(const host::Parsed& args) {
  for (const host::FlagWord& flag : args.flags) {
    if (known(flag)) {
      continue;
    }
    std::string message = "unknown flag '" + std::string(flag.text) + "'";
    if (const auto near = closest_flag(flag.name)) {
      message += " (did you mean '" + std::string(*near) + "'?)";
    }
    return HostError::usage(message);
  }
  return std::nullopt;
}

// "enable-all and disable-all": every verb that reads `flag`, in table order.
std::string readers(std::string_view flag) {
  std::vector<std::string_view> found;
  for (const Group* group : {&git_activity_group(), &share_group()}) {
    for (const VerbInfo& verb : group->verbs) {
      if (reads(verb, flag)) {
        found.push_back(verb.name);
      }
    }
  }
  if (found.size() < 2) {
    return joined(found, "");
  }
  const std::string_view last = found.back();
  found.pop_back();
  return joined(found, ", ") + " and " + std::string(last);
}

}  // namespace

std::span<const FlagInfo> program_flags() {
  return flag_table;
}

std::vector<std::string_view> flags_of(const VerbInfo& verb) {
  std::vector<std::string_view> out;
  std::string_view rest = verb.flags;
  while (!rest.empty()) {
    const std::size_t space = rest.find(' ');
    if (space != 0) {
      out.push_back(rest.substr(0, space));
    }
    rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1);
  }
  return out;
}

std::vector<std::string_view> value_flags(const Group& group) {
  std::vector<std::string_view> out;
  for (const VerbInfo& verb : group.verbs) {
    for (const std::string_view flag : flags_of(verb)) {
      const FlagInfo* info = find_flag(flag);
      if (info != nullptr && !info->value_name.empty() &&
          std::find(out.begin(), out.end(), flag) == out.end()) {
        out.push_back(flag);
      }
    }
  }
  return out;
}

std::string usage(const Group& group, const VerbInfo& verb) {
  std::string text = std::string(group.command) + " " + std::string(verb.name);
  if (!verb.operands.empty()) {
    text += " ";
    text += verb.operands;
  }
  for (const std::string_view flag : flags_of(verb)) {
    const FlagInfo* info = find_flag(flag);
    text += " [";
    text += flag;
    if (info != nullptr && !info->value_name.empty()) {
      text += " ";
      text += info->value_name;
    }
    text += "]";
  }
  return text;
}

std::string help_lines(const Group& group) {
  std::string text;
  const auto add = [&text](std::string_view usage, std::string_view summary) {
    std::string line = "  " + std::string(usage);
    line.resize(std::max<std::size_t>(line.size() + 2, 51), ' ');
    text += line + std::string(summary) + "\n";
  };
  for (const VerbInfo& verb : group.verbs) {
    add(verb.help_usage, verb.help_summary);
  }
  // the verbs' other forms after them all, so that the lines that go on from the one above stay
  for (const VerbInfo& verb : group.verbs) {
    if (!verb.more_usage.empty()) {
      add(verb.more_usage, verb.more_summary);
    }
  }
  return text;
}

HostError group_usage(const Group& group) {
  return HostError::usage("usage: " + std::string(group.command) + " " + joined(names(group), "|"));
}

HostError unknown_verb(const Group& group, std::string_view verb) {
  const std::vector<std::string_view> verbs = names(group);
  std::string message = "unknown " + std::string(group.word) + " verb '" + std::string(verb) +
                        "'. Expected: " + joined(verbs, " | ");
  if (const auto near = closest(verb, verbs)) {
    message += " (did you mean '" + std::string(*near) + "'?)";
  }
  return HostError::usage(message);
}

std::optional<VerbResult> check_verb_args(const Group& group, const VerbInfo& verb,
                                          const host::Parsed& args, std::ostream& out) {
  if (args.has_flag("--help") || args.has_flag("-h")) {
    out << "usage: " << usage(group, verb) << '\n' << verb.summary << '\n' << std::flush;
    return VerbResult(0);
  }
  if (!verb.strict) {
    return std::nullopt;
  }
  if (auto bad = unknown_flag(args)) {
    return VerbResult(Err{*bad});
  }
  if (args.has_flag("--dry-run") && !reads(verb, "--dry-run")) {
    std::string message = "'";  // appended, not "'" + string: GCC 12 warns -Wrestrict at -O2
    message += verb.name;
    message += "' has no dry run: --dry-run is read only by ";
    message += readers("--dry-run");
    message += " (nothing was done)";
    return VerbResult(Err{HostError::usage(message)});
  }
  if (args.has_flag("--all") && !reads(verb, "--all")) {
    std::string message = "'";
    message += verb.name;
    message += "' does not read --all: it is read only by ";
    message += readers("--all");
    message += " (nothing was done)";
    return VerbResult(Err{HostError::usage(message)});
  }
  // the verb's own name is the first operand
  if (const std::size_t given = args.operands.size() - 1; given > verb.most_operands) {
    std::string message = "'";
    message += verb.name;
    message += "' takes at most " + std::to_string(verb.most_operands) + " operand (" +
               std::string(verb.operands) + "), not " + std::to_string(given) +
               " (nothing was done)";
    return VerbResult(Err{HostError::usage(message)});
  }
  return std::nullopt;
}

Dispatch dispatch(const Group& group, const Args& args, std::ostream& out) {
  Dispatch d;
  const std::vector<std::string_view> values = value_flags(group);
  d.args = host::parse_args(args, values);
  if (d.args.operands.empty() || d.args.operands.front().empty()) {
    if (d.args.operands.empty() && (d.args.has_flag("--help") || d.args.has_flag("-h"))) {
      out << help_lines(group) << std::flush;
      d.stop = VerbResult(0);
    } else {
      d.stop = VerbResult(Err{group_usage(group)});
    }
    return d;
  }
  const std::string_view name = d.args.operands.front();
  const auto found = std::find_if(group.verbs.begin(), group.verbs.end(),
                                  [&](const VerbInfo& v) { return v.name == name; });
  if (found == group.verbs.end()) {
    d.stop = VerbResult(Err{unknown_verb(group, name)});
    return d;
  }
  d.verb = &*found;
  if ((d.stop = check_verb_args(group, *found, d.args, out))) {
    return d;
  }
  // `--peer --json` still asks for JSON: the word is there, even as another flag's value
  const bool json_typed =
      std::any_of(d.args.flags.begin(), d.args.flags.end(), [](const host::FlagWord& f) {
        return (f.name == "--json" && !f.glued) || (!f.glued && f.value == "--json");
      });
  d.json = json_typed && reads(*found, "--json");
  d.args = d.args.only(flags_of(*found));
  return d;
}

std::optional<std::string_view> closest(std::string_view typed,
                                        std::span<const std::string_view> candidates,
                                        std::size_t ignored) {
  std::optional<std::string_view> best;
  std::size_t best_distance = 0;
  for (const std::string_view candidate : candidates) {
    const std::size_t d = distance(typed, candidate);
    if (!best || d < best_distance) {
      best = candidate;
      best_distance = d;
    }
  }
  // two slips at most, and fewer than the letters typed: "--x" is no typo of "--at"
  const std::size_t letters = typed.size() > ignored ? typed.size() - ignored : 0;
  if (!best || best_distance > 2 || best_distance >= letters) {
    return std::nullopt;
  }
  return best;
}

std::optional<std::string_view> closest_flag(std::string_view typed) {
  std::vector<std::string_view> flags;
  for (const FlagInfo& flag : flag_table) {
    if (flag.after_verb) {
      flags.push_back(flag.name);
    }
  }
  return closest(typed, flags, 2);
}

}  // namespace cli
