#include "cli/git_activity.hpp"
#include "gitactivity/prune.hpp"
#include "text.hpp"

#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace cli {
namespace {

Json names_json(const std::vector<std::string>& names) {
  Json list = Json::array();
  for (const std::string& name : names) {
    list.push_back(pylon::lossy_utf8(name));
  }
  return list;
}

void print_names(std::string_view label, const std::vector<std::string>& names,
                 std::string_view why, std::ostream& out) {
  for (const std::string& name : names) {
    out << shown(std::string(label) + pylon::lossy_utf8(name) + std::string(why), out) << '\n';
  }
}

}  // namespace

VerbResult prune_verb(const GitActivityCall& call) {
  const bool dry_run = call.args.has_flag("--dry-run");
  auto survey = gitactivity::survey_prune(call.marker_dir);
  if (!survey) {
    return Err{HostError::could_not("list", call.marker_dir, survey.error())};
  }
  const gitactivity::PrunePlan plan = gitactivity::plan_prune(survey.value().entries);
  const gitactivity::PruneResult result =
      dry_run ? gitactivity::preview_prune(plan) : gitactivity::apply_prune(survey.value(), plan);
  if (call.json) {
    Json value;
    value["ok"] = result.failures.empty();
    value["removed"] = names_json(result.removed);
    value["unreachable"] = names_json(result.unreachable);
    if (dry_run) {
      value["dry_run"] = true;
    }
    emit(call.out, value);
  } else {
    // the reason a marker was not found comes with it: a volume to plug in, a link to mend
    for (const gitactivity::PruneEntry& entry : survey.value().entries) {
      if (entry.owner.state == gitactivity::OwnerState::Unreachable) {
        call.out << shown("kept (unreachable): " + pylon::lossy_utf8(entry.owner.marker) + ": " +
                              gitactivity::doubt_text(entry.owner),
                          call.out)
                 << '\n';
      }
    }
    print_names(dry_run ? "would remove: " : "removed: ", result.removed, "", call.out);
    print_names("kept: ", result.kept,
                ": its repository is gone, but it is not an empty file with one name (or it "
                "changed meanwhile), so prune leaves it",
                call.out);
    std::string line = (dry_run ? "dry run: " : "") + std::to_string(result.removed.size()) +
                       (dry_run ? " marker(s) would be removed, " : " marker(s) removed, ") +
                       std::to_string(result.unreachable.size()) + " kept as unreachable";
    if (!result.kept.empty()) {
      line += ", " + std::to_string(result.kept.size()) + " kept otherwise";
    }
    call.out << line << '\n' << std::flush;
  }
  if (!result.failures.empty()) {
    std::string message;
    for (const gitactivity::PruneFailure& failure : result.failures) {
      message += message.empty() ? "could not remove " : "; could not remove ";
      message +=
          pylon::path_text(call.marker_dir / failure.name) + ": " + pylon::os_text(failure.error);
    }
    return Err{HostError::failure(message)};
  }
  return 0;
}

}  // namespace cli
