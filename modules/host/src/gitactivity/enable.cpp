#include "gitactivity/enable.hpp"

#include "files.hpp"
#include "gitactivity/hook.hpp"
#include "gitactivity/hook_tools.hpp"
#include "gitactivity/markers.hpp"
#include "gitactivity/status.hpp"
#include "text.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

using host::HostError;

using pylon::os_error;

HostError marker_failure(const MarkerSlot& marker, const std::error_code& error) {
  return HostError::could_not("write marker in", marker.dir, error);
}

HostError disable_tracked_refusal(const HookSite& site) {
  return HostError::failure("will not edit " + pylon::path_text(site.hook) +
                            ": the team's hooks directory " + pylon::path_text(site.dir) +
                            " is tracked by git, so removing the recorder would reach "
                            "everyone who shares the repository; if they all agree, take "
                            "it out there by hand");
}

}  // namespace

std::optional<HostError> marker_refusal(const MarkerSlot& marker, std::int64_t at, bool& writes) {
  writes = false;
  if (marker.dir_error) {
    return marker_failure(marker, marker.dir_error);
  }
  switch (marker.standing) {
    case Standing::Missing:
      if (!marker_name_fits(marker.name, marker.name_max)) {
        return marker_failure(marker, os_error(ENAMETOOLONG));
      }
      if (marker.dir_standing == Standing::Directory && marker.open_error) {
        return marker_failure(marker, marker.open_error);
      }
      writes = true;
      return std::nullopt;
    case Standing::Link:
      return marker_failure(marker, os_error(ELOOP));  // the write never follows one
    case Standing::Directory:
    case Standing::Other:
      return marker_failure(marker, pylon::not_regular_file());
    case Standing::Regular:
      break;
  }
  if (marker.other_links) {
    return marker_failure(marker, pylon::other_links());
  }
  // an older checkout must not take the marker back in time: an up-to-date one is not written
  writes = !marker.mtime || *marker.mtime < at;
  if (writes && marker.open_error) {
    return marker_failure(marker, marker.open_error);
  }
  return std::nullopt;
}

namespace {

Result<EnablePlan, HostError> judge_enable(const RepoFacts& facts, std::int64_t now) {
  const HookSite& site = facts.hook;
  // where a hook tool runs a place of the user's own, the recorder goes there and the hook git
  // runs is not written; the marker's refusals still come before any write
  ToolPlan place = plan_for_tools(facts.tools, facts.root);
  if (place.target != ToolPlan::Target::Hook) {
    EnablePlan plan;
    plan.epoch = facts.latest_commit;
    if (auto refused = marker_refusal(facts.marker, plan.epoch.value_or(now), plan.write_marker)) {
      return Err{*refused};
    }
    plan.place = std::move(place);
    return plan;
  }
  if (site.dir_error) {
    return Err{HostError::could_not("create", site.dir, site.dir_error)};
  }
  if (!site.text) {
    // never replace a hook we could not read as if it were missing
    return Err{HostError::could_not("read", site.hook, site.text.error())};
  }
  const std::optional<std::string>& existing = site.text.value();
  if (auto refused = refuse_foreign(site.hook, existing)) {
    return Err{*refused};
  }
  // a hook that holds the line we advise adding is enabled already (no second recorder), unless
  // the system cannot start it at all
  const bool by_hand = existing && !holds_block(*existing) && holds_advised_line(*existing) &&
                       !interpreter_line_has_cr(*existing);
  std::string text = by_hand ? *existing : rewrite_hook(existing);
  const bool unchanged = existing == text;
  // one `git commit -a` or `git add -A` would send a new or edited hook to the whole team
  if (site.tracked && !(unchanged && site.executable)) {
    return Err{tracked_refusal(site.hook, site.dir)};
  }
  // enable writes the hook or its mode, both through the same links
  if (site.foreign_link) {
    return Err{*site.foreign_link};
  }
  if (site.foreign_config) {
    return Err{*site.foreign_config};
  }
  // no execute bit may go where no read bit is, and a hook its owner cannot run records nothing
  if (site.unreadable_to_owner) {
    return Err{HostError::failure("will not enable " + pylon::path_text(site.hook) +
                                  ": its owner may not read it, so it cannot be made executable "
                                  "without giving more than read allows; chmod u+r it first")};
  }
  EnablePlan plan;
  plan.place = std::move(place);
  plan.epoch = facts.latest_commit;
  // the marker's refusals come before any write: no repository is left half enabled
  if (auto refused = marker_refusal(facts.marker, plan.epoch.value_or(now), plan.write_marker)) {
    return Err{*refused};
  }
  // a hook that already reads so is left alone: enable-all runs over hundreds of them
  if (unchanged) {
    plan.chmod = !site.executable;
    if (plan.chmod && site.chmod_error) {
      return Err{HostError::could_not("chmod +x", site.hook, site.chmod_error)};
    }
    return plan;
  }
  if (site.dir_exists && site.write_error) {
    return Err{HostError::could_not("write", site.hook, site.write_error)};
  }
  plan.create_dir = !site.dir_exists;
  plan.text = std::move(text);
  plan.chmod = true;  // a new file's mode comes from the umask
  return plan;
}

}  // namespace

Result<EnablePlan, HostError> plan_enable(const RepoFacts& facts, std::int64_t now) {
  auto planned = judge_enable(facts, now);
  if (planned) {
    // every refusal first: a doubt is only worth saying about a plan the answers allow
    EnablePlan& plan = planned.value();
    const bool hook_written =
        plan.place.target == ToolPlan::Target::Hook && (plan.text || plan.create_dir || plan.chmod);
    if (hook_written && !facts.hook.only_a_write_tells.empty()) {
      plan.unsure = facts.hook.only_a_write_tells;
    } else if (plan.write_marker) {
      plan.unsure = facts.marker.only_a_write_tells;
    }
  }
  return planned;
}

namespace {

// The hook git runs: nothing when it holds no recorder.
Result<std::optional<Removal>, HostError> plan_hook_removal(const RepoFacts& facts) {
  const HookSite& site = facts.hook;
  if (!site.text) {
    // a block may be in what we could not read: saying "not enabled" would be a guess
    return Err{HostError::could_not("read", site.hook, site.text.error())};
  }
  if (!site.text.value()) {
    return std::optional<Removal>{};
  }
  auto stripped = strip_hook(*site.text.value());
  if (!stripped) {
    return std::optional<Removal>{};
  }
  if (site.foreign_link) {
    return Err{*site.foreign_link};
  }
  if (site.foreign_config) {
    return Err{*site.foreign_config};
  }
  // the team's hook is the team's: taking the block out would reach everyone, as putting it in
  if (site.tracked) {
    return Err{disable_tracked_refusal(site)};
  }
  if (site.write_error) {
    return Err{HostError::could_not("write", site.hook, site.write_error)};
  }
  return std::optional<Removal>{Removal{site.hook, std::move(*stripped)}};
}

// The file the tool facts read at `path`, if they read one there.
const FileFact* tool_file(const ToolFacts& tools, const fs::path& path) {
  for (const FileFact* fact :
       {&tools.legacy, &tools.old, &tools.unused_hook, &tools.husky, &tools.lefthook_local}) {
    if (!fact->path.empty() && fact->path == path) {
      return fact;
    }
  }
  return nullptr;
}

}  // namespace

Result<DisablePlan, HostError> plan_disable(const RepoFacts& facts) {
  auto hook = plan_hook_removal(facts);
  if (!hook) {
    return Err{hook.error()};
  }
  DisablePlan plan;
  plan.hook = std::move(hook.value());
  if (plan.hook) {
    plan.unsure = facts.hook.only_a_write_tells;
  }
  // the copies the hook tools kept and the places enable wrote for them, judged with the hook
  // as it reads once written
  ToolFacts tools = facts.tools;
  if (plan.hook) {
    tools.hook = plan.hook->stripped;
  }
  for (const Route& route : recorder_routes(tools)) {
    if (!route.removable) {
      plan.still_recorded = plan.still_recorded || route.reached;
      if (!route.hint.empty()) {
        plan.left.push_back(route.hint);
      }
      continue;
    }
    const FileFact* file = tool_file(tools, route.path);
    if (file == nullptr || !file->text) {
      return Err{HostError::failure("could not read " + pylon::path_text(route.path))};
    }
    const bool lefthook = route.path == tools.lefthook_local.path;
    auto stripped = lefthook ? without_lefthook_section(*file->text) : strip_hook(*file->text);
    if (!stripped) {
      continue;  // the recorder's line alone, which is not disable's to take out
    }
    // what enable created and nothing else wrote to goes as a whole
    const bool whole = lefthook ? pylon::trim(*stripped).empty()
                                : route.path == tools.husky.path && *stripped == "#!/bin/sh\n";
    plan.copies.push_back(Removal{route.path, std::move(*stripped), whole});
  }
  return plan;
}

namespace {

Result<RepoFacts, HostError> facts_to_enable(const fs::path& repo, const fs::path& marker_dir,
                                             GitEnv env, bool real_run) {
  return gather_repo_facts(repo, env, marker_dir, not_a_repository_to_enable(repo),
                           FactsWanted{real_run});
}

// Writes the recorder where the hook tool's plan puts it, and keeps that file out of git's view.
Result<Unit, HostError> place_recorder(const ToolPlan& plan, const ToolFacts& tools,
                                       const std::string& root) {
  if (plan.text) {
    if (auto written = pylon::write_atomic(plan.path, *plan.text); !written) {
      return Err{HostError::could_not("write", plan.path, written.error())};
    }
  }
  if (plan.target != ToolPlan::Target::LefthookLocal) {
    if (auto executable = pylon::add_exec(plan.path); !executable) {
      return Err{HostError::could_not("chmod +x", plan.path, executable.error())};
    }
  }
  if (!plan.exclude) {
    return Unit{};
  }
  const std::string line =
      "/" + canonical_or_same(plan.path).lexically_relative(canonical_or_same(root)).string();
  auto current = read_hook(tools.info_exclude);
  if (!current) {
    return Err{HostError::failure("could not read " + pylon::path_text(tools.info_exclude) + ": " +
                                  current.error())};
  }
  const auto text = with_exclude_line(current.value(), line);
  if (!text) {
    return Unit{};
  }
  std::error_code ec;
  fs::create_directories(tools.info_exclude.parent_path(), ec);
  if (auto written = pylon::write_atomic(tools.info_exclude, *text); !written) {
    return Err{HostError::could_not("write", tools.info_exclude, written.error())};
  }
  return Unit{};
}

}  // namespace

HostError tracked_refusal(const fs::path& hook, const fs::path& dir) {
  return HostError::failure("will not edit " + pylon::path_text(hook) +
                            ": the team's hooks directory " + pylon::path_text(dir) +
                            " is tracked by git, so the recorder would reach everyone who shares "
                            "the repository; " +
                            by_hand_hint(dir));
}

std::string by_hand_hint(const fs::path& dir) {
  return "if they all want it, add this line to " + pylon::path_text(dir / "post-commit") +
         " by hand: " + std::string(recorder_line());
}

bool lies_within(const fs::path& path, const fs::path& dir) {
  const auto [end, _] = std::mismatch(dir.begin(), dir.end(), path.begin(), path.end());
  return end == dir.end();
}

fs::path canonical_or_same(const fs::path& path) {
  std::error_code ec;
  fs::path resolved = fs::weakly_canonical(path, ec);
  return ec ? path : resolved;
}

HostError not_a_repository(const fs::path& repo) {
  return HostError::failure("not a git repository: " + pylon::path_text(repo));
}

HostError not_a_repository_to_enable(const fs::path& repo) {
  return HostError::failure("not a git repository: " + pylon::path_text(repo) +
                            " (run `pylon host git-activity enable <repo>` inside one, or pass "
                            "its path)");
}

fs::path nearest_existing(const fs::path& path) {
  fs::path at = path;
  struct stat st {};
  while (::lstat(at.c_str(), &st) != 0) {
    fs::path parent = at.parent_path();
    if (parent.empty()) {
      return ".";
    }
    if (parent == at) {
      break;
    }
    at = std::move(parent);
  }
  return at;
}

Result<WouldEnable, HostError> would_enable(const fs::path& repo, const fs::path& marker_dir,
                                            GitEnv env) {
  auto facts = facts_to_enable(repo, marker_dir, env, false);
  if (!facts) {
    return Err{facts.error()};
  }
  auto plan = plan_enable(facts.value(), now_epoch());
  if (!plan) {
    return Err{plan.error()};
  }
  return WouldEnable{pylon::lossy_utf8(facts.value().root), std::move(plan.value().unsure),
                     std::move(plan.value().place.notes)};
}

Result<Enabled, HostError> enable(const fs::path& repo, const fs::path& marker_dir, GitEnv env) {
  auto gathered = facts_to_enable(repo, marker_dir, env, true);
  if (!gathered) {
    return Err{gathered.error()};
  }
  const RepoFacts& facts = gathered.value();
  const HookSite& site = facts.hook;
  auto planned = plan_enable(facts, now_epoch());
  if (!planned) {
    return Err{planned.error()};
  }
  EnablePlan& plan = planned.value();
  // the marker's name is the top level's display text, as record names it
  const std::string shown_root = pylon::lossy_utf8(facts.root);
  const ToolPlan::Target target = plan.place.target;
  Enabled done{plan.epoch,        shown_root, site.hook,
               facts.marker.path, false,      std::move(plan.place.notes)};
  if (target != ToolPlan::Target::Hook) {
    // Already: the team's configuration runs the recorder, and nothing of ours is written
    if (target != ToolPlan::Target::Already) {
      if (auto placed = place_recorder(plan.place, facts.tools, facts.root); !placed) {
        return Err{placed.error()};
      }
    }
    done.hook = plan.place.path;
  }
  if (target == ToolPlan::Target::Hook && plan.create_dir) {
    std::error_code ec;
    fs::create_directories(site.dir, ec);
    if (ec) {
      return Err{HostError::could_not("create", site.dir, ec)};
    }
  }
  if (target == ToolPlan::Target::Hook && plan.text) {
    if (auto written = pylon::write_atomic(site.hook, *plan.text); !written) {
      return Err{HostError::could_not("write", site.hook, written.error())};
    }
  }
  if (target == ToolPlan::Target::Hook && plan.chmod) {
    if (auto executable = pylon::add_exec(site.hook); !executable) {
      return Err{HostError::could_not("chmod +x", site.hook, executable.error())};
    }
  }
  if (plan.write_marker) {
    auto marker = advance_marker(marker_dir, shown_root, plan.epoch);
    if (!marker) {
      return Err{marker_failure(facts.marker, marker.error())};
    }
    done.marker_written = marker.value().written;
  }
  return done;
}

Result<Disabled, HostError> disable_everywhere(const fs::path& repo, const fs::path& marker_dir,
                                               GitEnv env, bool write) {
  auto facts = gather_repo_facts(repo, env, marker_dir, not_a_repository(repo));
  if (!facts) {
    return Err{facts.error()};
  }
  auto planned = plan_disable(facts.value());
  if (!planned) {
    return Err{planned.error()};
  }
  const DisablePlan& plan = planned.value();
  Disabled done;
  done.left = plan.left;
  done.still_recorded = plan.still_recorded;
  done.unsure = plan.unsure;
  if (plan.hook) {
    if (write) {
      if (auto written = pylon::write_atomic(plan.hook->hook, plan.hook->stripped); !written) {
        return Err{HostError::could_not("write", plan.hook->hook, written.error())};
      }
    }
    done.hook = plan.hook->hook;
  }
  for (const Removal& copy : plan.copies) {
    if (write) {
      std::error_code ec;
      if (copy.whole) {
        fs::remove(copy.hook, ec);
      } else if (auto written = pylon::write_atomic(copy.hook, copy.stripped); !written) {
        ec = written.error();
      }
      if (ec) {
        return Err{HostError::could_not(copy.whole ? "remove" : "write", copy.hook, ec)};
      }
    }
    done.removed.push_back(copy.hook);
  }
  return done;
}

}  // namespace gitactivity
