#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gitactivity {

// Why a marker is older than the latest commit, read from the subject of HEAD's newest reflog
// entry (`git log -g -1 --format=%gs`); nothing when no entry says.
struct StaleCause {
  std::string text;
  bool wrong = false;  // the recorder should have run and did not
};
StaleCause stale_cause(const std::optional<std::string>& reflog_subject);

}  // namespace gitactivity
