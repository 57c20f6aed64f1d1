#include "cli/cli.hpp"
#include "cli/verbs.hpp"

namespace cli {

const char* const version_text = "pylon-host " PYLON_HOST_VERSION;

const char* const describe_text =
    "host — machine integration: git-activity commit markers (record/enable/migrate) and the "
    "quaylink peer share (push/pull/ls)";

std::string help_text() {
  std::string text =
      "pylon-host — machine integration for the fleet\n"
      "\n"
      "usage:\n";
  text += help_lines(git_activity_group());
  text += "\n";
  text += help_lines(share_group());
  text +=
      "\n"
      "  (every `pylon share X` is also `pylon host share X`)\n"
      "\n"
      "options:\n";
  for (const FlagInfo& flag : program_flags()) {
    std::string line =
        flag.short_name.empty() ? "      " : "  " + std::string(flag.short_name) + ", ";
    line += flag.name;
    if (!flag.value_name.empty()) {
      line += " ";
      line += flag.value_name;
    }
    line.resize(std::max<std::size_t>(line.size() + 2, 20), ' ');
    text += line + std::string(flag.help) + "\n";
  }
  text +=
      "\n"
      "env:\n"
      "  PYLON_GIT_ACTIVITY_DIR  marker directory override (else $PYLON_HOME/git-activity,\n"
      "                          else ~/.pylon/git-activity, else ~/.kestrel/git-activity)\n"
      "  PYLON_SHARE_DIR         served share directory (default ~/work/quaylink-share)\n"
      "  PYLON_SHARE_PEER        default quaylink peer for this shell";
  return text;
}

}  // namespace cli
