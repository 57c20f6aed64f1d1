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
      return marker_failure(marker, pylon::gate_error(pylon::GateRule::Link));
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
                           FactsWanted{real_run, false, true});
}

// One write of a plan as the gate takes it, with the words of its failure.
struct Step {
  pylon::Write write;
  std::string_view verb;  // "write", "chmod +x", "create", "remove"
  fs::path shown;         // the file or directory the failure names
};

// `path` below `base`: by spelling, else with both resolved (a work tree reached through a link
// is still the work tree); nothing when it lies elsewhere.
std::optional<fs::path> below(const fs::path& path, const fs::path& base) {
  if (lies_within(path, base)) {
    return path.lexically_relative(base);
  }
  const fs::path resolved = canonical_or_same(path.parent_path()) / path.filename();
  const fs::path resolved_base = canonical_or_same(base);
  if (lies_within(resolved, resolved_base)) {
    return resolved.lexically_relative(resolved_base);
  }
  return std::nullopt;
}

// The write of `path` below the hooks directory (with the setting that named it) or below the
// work tree, whichever holds it. A path in neither is refused by the gate as no single name.
Step step_for(const fs::path& path, const RepoFacts& facts, pylon::WriteAction action,
              std::string_view verb) {
  Step step{{}, verb, path};
  step.write.action = action;
  if (auto in_hooks = below(path, facts.hook.dir)) {
    step.write.root = facts.hook.dir;
    step.write.target = *in_hooks;
    step.write.named_by = facts.hook.config;
  } else if (auto in_tree = below(path, facts.root)) {
    step.write.root = facts.root;
    step.write.target = *in_tree;
  } else {
    step.write.root = path.parent_path();
    step.write.target = path;  // absolute: the gate refuses it by name
  }
  return step;
}

// The writes that put the recorder where the hook tool's plan puts it and keep that file out of
// git's view; `exclude_text` holds .git/info/exclude's new text while they are used.
Result<std::vector<Step>, HostError> place_steps(const ToolPlan& plan, const RepoFacts& facts,
                                                 std::optional<std::string>& exclude_text) {
  std::vector<Step> steps;
  if (plan.text) {
    steps.push_back(step_for(plan.path, facts, pylon::WriteAction::Replace, "write"));
    steps.back().write.text = *plan.text;
  }
  if (plan.target != ToolPlan::Target::LefthookLocal) {
    steps.push_back(step_for(plan.path, facts, pylon::WriteAction::AddExec, "chmod +x"));
  }
  if (!plan.exclude) {
    return steps;
  }
  // appended rather than `"/" + string`, which GCC 12 at -O3 takes for an overlapping copy
  // (-Wrestrict)
  std::string line = "/";
  line += canonical_or_same(plan.path).lexically_relative(canonical_or_same(facts.root)).string();
  const fs::path& exclude = facts.tools.info_exclude;
  auto current = read_hook(exclude);
  if (!current) {
    return Err{
        HostError::failure("could not read " + pylon::path_text(exclude) + ": " + current.error())};
  }
  exclude_text = with_exclude_line(current.value(), line);
  if (exclude_text) {
    Step step{{}, "write", exclude};
    step.write.root = facts.git_common_dir;
    step.write.target = exclude.lexically_relative(facts.git_common_dir);
    step.write.make_dirs = true;
    step.write.text = *exclude_text;
    steps.push_back(std::move(step));
  }
  return steps;
}

// The writes of the hook git runs: its directory, its text, its mode.
std::vector<Step> hook_steps(const EnablePlan& plan, const RepoFacts& facts) {
  const HookSite& site = facts.hook;
  std::vector<Step> steps;
  const auto hook_write = [&](pylon::WriteAction action, std::string_view verb) {
    Step step{{}, verb, site.hook};
    step.write.action = action;
    step.write.root = site.dir;
    step.write.target = "post-commit";
    step.write.make_root = plan.create_dir;
    step.write.own_link = !site.tracked;  // a dotfiles hook of the user's, never the team's
    step.write.named_by = site.config;
    return step;
  };
  if (plan.create_dir) {
    steps.push_back({{}, "create", site.dir});
    steps.back().write.action = pylon::WriteAction::MakeDirs;
    steps.back().write.root = site.dir.parent_path();
    steps.back().write.target = site.dir.filename();
    steps.back().write.make_root = true;
  }
  if (plan.text) {
    steps.push_back(hook_write(pylon::WriteAction::Replace, "write"));
    steps.back().write.text = *plan.text;
  }
  if (plan.chmod) {
    steps.push_back(hook_write(pylon::WriteAction::AddExec, "chmod +x"));
  }
  return steps;
}

// Every step asked of the gate without writing first, so that a refusal leaves nothing half
// done; then, unless only asked, each written in order. A step on a file an earlier step makes
// is judged by that step alone.
Result<Unit, HostError> run_steps(std::vector<Step>& steps, bool write) {
  std::vector<fs::path> made;
  for (Step& step : steps) {
    const fs::path at = step.write.root / step.write.target;
    if (std::find(made.begin(), made.end(), at) != made.end()) {
      continue;
    }
    step.write.dry_run = true;
    if (auto asked = pylon::gate(step.write); !asked) {
      return Err{HostError::could_not(step.verb, step.shown, asked.error())};
    }
    if (step.write.action == pylon::WriteAction::Replace ||
        step.write.action == pylon::WriteAction::MakeDirs) {
      made.push_back(at);
    }
  }
  if (!write) {
    return Unit{};
  }
  for (Step& step : steps) {
    step.write.dry_run = false;
    if (auto done = pylon::gate(step.write); !done) {
      return Err{HostError::could_not(step.verb, step.shown, done.error())};
    }
  }
  return Unit{};
}

// What enable writes besides the marker, in order, asked of the gate and written unless only
// asked (the dry run).
Result<Unit, HostError> apply_enable(const EnablePlan& plan, const RepoFacts& facts, bool write) {
  std::optional<std::string> exclude_text;
  std::vector<Step> steps;
  switch (plan.place.target) {
    case ToolPlan::Target::Already:  // the team's configuration records: nothing of ours
      break;
    case ToolPlan::Target::Hook:
      steps = hook_steps(plan, facts);
      break;
    default: {
      auto placed = place_steps(plan.place, facts, exclude_text);
      if (!placed) {
        return Err{placed.error()};
      }
      steps = std::move(placed).value();
    }
  }
  if (plan.write_marker) {
    Step marker{{}, "write marker in", facts.marker.dir};
    marker.write.action = pylon::WriteAction::Open;
    marker.write.root = facts.marker.dir;
    marker.write.target = facts.marker.name;
    marker.write.make_root = true;
    marker.write.dry_run = true;
    if (auto asked = pylon::gate(marker.write); !asked) {
      return Err{HostError::could_not(marker.verb, marker.shown, asked.error())};
    }
  }
  return run_steps(steps, write);
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
  if (auto asked = apply_enable(plan.value(), facts.value(), false); !asked) {
    return Err{asked.error()};
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
    done.hook = plan.place.path;
  }
  if (auto applied = apply_enable(plan, facts, true); !applied) {
    return Err{applied.error()};
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
  std::vector<Step> steps;
  if (plan.hook) {
    Step step{{}, "write", plan.hook->hook};
    step.write.root = facts.value().hook.dir;
    step.write.target = "post-commit";
    step.write.own_link = !facts.value().hook.tracked;
    step.write.named_by = facts.value().hook.config;
    step.write.text = plan.hook->stripped;
    steps.push_back(std::move(step));
    done.hook = plan.hook->hook;
  }
  for (const Removal& copy : plan.copies) {
    steps.push_back(step_for(copy.hook, facts.value(),
                             copy.whole ? pylon::WriteAction::Remove : pylon::WriteAction::Replace,
                             copy.whole ? "remove" : "write"));
    steps.back().write.text = copy.stripped;
    done.removed.push_back(copy.hook);
  }
  if (auto applied = run_steps(steps, write); !applied) {
    return Err{applied.error()};
  }
  return done;
}

}  // namespace gitactivity
