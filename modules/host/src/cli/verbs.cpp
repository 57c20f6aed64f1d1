#include "cli/verbs.hpp"

#include <algorithm>
#include <array>
#include <ostream>
#include <vector>

namespace cli {
namespace {

constexpr std::array<std::string_view, 5> switch_flags = {"--json", "--apply", "--open", "--help",
                                                          "--dry-run"};
constexpr std::array<std::string_view, 3> value_flags = {"--at", "--timeout", "--peer"};

constexpr VerbInfo git_activity_table[] = {
    {"record", "pylon host git-activity record [--at EPOCH]",
     "touch this repository's marker (the post-commit hook runs this)"},
    {"enable", "pylon host git-activity enable [REPO] [--json]",
     "install the post-commit recorder in REPO (default: here) and backfill its marker"},
    {"enable-all",
     "pylon host git-activity enable-all [DIR ...] [--dry-run] [--json] [--timeout S]",
     "enable every repository under DIR (default ~/work)", true},
    {"disable", "pylon host git-activity disable [REPO] [--json]",
     "remove the recorder from REPO's hook (default: here)"},
    {"list", "pylon host git-activity list [--json]", "markers, newest first"},
    {"path", "pylon host git-activity path [--json]", "print the marker directory"},
    {"migrate", "pylon host git-activity migrate [--apply] [--json]",
     "copy legacy ~/.kestrel markers into the fleet home (a dry run without --apply)"},
    {"status", "pylon host git-activity status [REPO] [--json]",
     "whether commits in REPO (default: here) are recorded, and what to do if not"},
    {"disable-all",
     "pylon host git-activity disable-all [DIR ...] [--dry-run] [--json] [--timeout S]",
     "remove the recorder from every repository under DIR (default ~/work)", true},
};

constexpr VerbInfo share_table[] = {
    {"push", "pylon share push <file ...> [--peer NAME] [--json] [--timeout S]",
     "send file(s) to the peer's share"},
    {"pull", "pylon share pull <name> [--peer NAME] [--json] [--timeout S]",
     "fetch a file into the local share"},
    {"ls", "pylon share ls [subpath] [--peer NAME] [--json] [--timeout S]",
     "list the peer's share"},
    {"dir", "pylon share dir [--open] [--json]", "print (and optionally open) the local share"},
    {"peer", "pylon share peer [name] [--peer NAME] [--json]",
     "show or set the default share peer"},
};

bool is_one_of(std::string_view word, std::span<const std::string_view> names) {
  return std::find(names.begin(), names.end(), word) != names.end();
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

// A lone "--" ends the flags: what follows is operands only.
std::span<const std::string> before_separator(const Args& args) {
  const auto end = std::find(args.begin(), args.end(), "--");
  return {args.begin(), end};
}

std::optional<HostError> unknown_flag(std::span<const std::string> args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (is_one_of(arg, value_flags)) {
      ++i;  // its value, whatever it looks like
      continue;
    }
    if (!arg.starts_with("--")) {
      continue;
    }
    const std::size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    const bool known =
        eq == std::string_view::npos ? is_one_of(name, switch_flags) : is_one_of(name, value_flags);
    if (known) {
      continue;
    }
    std::string message = "unknown flag '" + std::string(arg) + "'";
    if (const auto near = closest_flag(name)) {
      message += " (did you mean '" + std::string(*near) + "'?)";
    }
    return HostError::usage(message);
  }
  return std::nullopt;
}

}  // namespace

std::span<const VerbInfo> git_activity_verbs() {
  return git_activity_table;
}

std::span<const VerbInfo> share_verbs() {
  return share_table;
}

const VerbInfo* find_verb(std::span<const VerbInfo> verbs, std::string_view name) {
  const auto found =
      std::find_if(verbs.begin(), verbs.end(), [&](const VerbInfo& v) { return v.name == name; });
  return found == verbs.end() ? nullptr : &*found;
}

std::optional<std::string_view> closest_flag(std::string_view typed) {
  std::optional<std::string_view> best;
  std::size_t best_distance = 0;
  for (const auto& flags : {std::span<const std::string_view>(switch_flags),
                            std::span<const std::string_view>(value_flags)}) {
    for (const std::string_view flag : flags) {
      const std::size_t d = distance(typed, flag);
      if (!best || d < best_distance) {
        best = flag;
        best_distance = d;
      }
    }
  }
  // two slips at most, and fewer than the letters typed: "--x" is no typo of "--at"
  const std::size_t letters = typed.size() > 2 ? typed.size() - 2 : 0;
  if (!best || best_distance > 2 || best_distance >= letters) {
    return std::nullopt;
  }
  return best;
}

std::optional<VerbResult> check_verb_args(const VerbInfo& verb, const Args& args,
                                          std::ostream& out) {
  const std::span<const std::string> flags = before_separator(args);
  const std::array<std::string_view, 2> help_words = {"-h", "--help"};
  if (std::any_of(flags.begin(), flags.end(),
                  [&](const std::string& a) { return is_one_of(a, help_words); })) {
    out << "usage: " << verb.usage << '\n' << verb.summary << '\n' << std::flush;
    return VerbResult(0);
  }
  if (verb.name == "record") {
    return std::nullopt;  // the hook's entry point runs whatever it is given, silently
  }
  if (auto bad = unknown_flag(flags)) {
    return VerbResult(Err{*bad});
  }
  const bool dry_run = std::find(flags.begin(), flags.end(), "--dry-run") != flags.end();
  if (dry_run && !verb.reads_dry_run) {
    std::string message = "'";  // appended, not "'" + string: GCC 12 warns -Wrestrict at -O2
    message += verb.name;
    message +=
        "' has no dry run: --dry-run is read only by enable-all and disable-all (nothing "
        "was done)";
    return VerbResult(Err{HostError::usage(message)});
  }
  return std::nullopt;
}

}  // namespace cli
