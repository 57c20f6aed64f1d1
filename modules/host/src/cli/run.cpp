#include "cli/cli.hpp"
#include "cli/git_activity.hpp"
#include "cli/share_verb.hpp"
#include "cli/verbs.hpp"
#include "share/quaylink.hpp"
#include "text.hpp"

#include <ostream>
#include <string_view>

namespace cli {
namespace {

constexpr std::string_view groups[] = {"git-activity", "share"};

// Arguments are text: one that is not UTF-8 is a malformed command line.
std::optional<HostError> check_utf8(const Args& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!pylon::is_utf8(args[i])) {
      return HostError::usage("argument " + std::to_string(i + 1) + " is not valid UTF-8 ('" +
                              pylon::lossy_utf8(args[i]) + "')");
    }
  }
  return std::nullopt;
}

}  // namespace

std::int32_t finish(const VerbResult& result, std::ostream& err) {
  if (result) {
    return result.value();
  }
  err << "pylon-host: " << shown(result.error().message(), err) << '\n' << std::flush;
  return result.error().exit_status();
}

std::int32_t run(const Args& args, std::ostream& out, std::ostream& err) {
  const std::string_view first = args.empty() ? std::string_view{} : std::string_view{args[0]};
  if (first.empty() || first == "help" || first == "-h" || first == "--help") {
    print_line(out, help_text());
    return 0;
  }
  if (first == "--describe") {
    print_line(out, describe_text);
    return 0;
  }
  if (first == "--version") {
    print_line(out, version_text);
    return 0;
  }
  const bool git_activity_group =
      first == "git-activity" || first == "gitactivity" || first == "ga";
  // the hook's entry point stays silent and exits 0 whatever it is given
  const bool recording = git_activity_group && args.size() > 1 && args[1] == "record";
  if (auto bad = check_utf8(args); bad && !recording) {
    return finish(Err{*bad}, err);
  }
  const Args rest(args.begin() + 1, args.end());
  if (git_activity_group) {
    std::ostream* terminal = is_terminal(err) ? &err : nullptr;
    return finish(git_activity(rest, out, terminal), err);
  }
  if (first == "share") {
    share::QuaylinkCli quaylink;
    return finish(share_verb(rest, quaylink, out), err);
  }
  std::string message = "unknown verb '" + std::string(first) +
                        "'. Expected: git-activity | share (see `pylon host help`)";
  if (const auto near = closest(first, groups)) {
    message += " (did you mean '" + std::string(*near) + "'?)";
  }
  return finish(Err{HostError::usage(message)}, err);
}

}  // namespace cli
