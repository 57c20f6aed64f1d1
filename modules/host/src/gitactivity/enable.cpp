#include "gitactivity/enable.hpp"

#include "files.hpp"
#include "gitactivity/hook.hpp"
#include "gitactivity/hook_tools.hpp"
#include "gitactivity/markers.hpp"
#include "text.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

using host::HostError;

HostError no_hooks_dir(std::string_view root) {
  return HostError::failure("could not locate the hooks directory for " + std::string(root));
}

std::error_code os_error(int code) {
  return {code, std::system_category()};
}

// `--git-path` answers relative to where git ran, which is `repo`.
fs::path hooks_dir_from(const fs::path& repo, std::string_view answer) {
  fs::path dir(answer);
  return dir.is_absolute() ? dir : repo / dir;
}

fs::path dir_or_dot(const fs::path& dir) {
  return dir.empty() ? fs::path(".") : dir;
}

std::error_code unwritable(const fs::path& dir) {
  if (::access(dir_or_dot(dir).c_str(), W_OK | X_OK) != 0) {
    return pylon::last_os_error();
  }
  return {};
}

// Why creating `dir` with its parents would fail, found without creating anything.
std::error_code creation_error(const fs::path& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) == 0) {
    // a name that is taken by a link to nowhere, or by a file
    return os_error(::stat(dir.c_str(), &st) != 0 ? EEXIST : ENOTDIR);
  }
  if (errno != ENOENT) {
    return pylon::last_os_error();
  }
  const fs::path base = nearest_existing(dir);
  if (::stat(base.c_str(), &st) != 0) {
    return os_error(EEXIST);
  }
  if (!S_ISDIR(st.st_mode)) {
    return os_error(ENOTDIR);
  }
  return unwritable(base);
}

// Why no new file can take the place of `hook`: a rewrite puts one beside the file a chain of
// links ends at (which may not exist yet).
std::error_code replacement_error(fs::path hook) {
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(hook, ec))) {
      return unwritable(hook.parent_path());
    }
    fs::path next = fs::read_symlink(hook, ec);
    if (ec) {
      return ec;
    }
    hook = next.is_absolute() ? next : hook.parent_path() / next;
  }
  return std::make_error_code(std::errc::too_many_symbolic_link_levels);
}

// The refusal to write through a link of another owner than the file it leads to; a lookup that
// fails leaves the question to the write.
std::optional<HostError> foreign_link_refusal(const fs::path& hook) {
  auto found = pylon::find_foreign_link(hook);
  if (!found || !found.value()) {
    return std::nullopt;
  }
  return HostError::failure(pylon::foreign_link_text(*found.value()));
}

HookSite look_at(fs::path dir) {
  HookSite site;
  site.hook = dir / "post-commit";
  site.dir = std::move(dir);
  struct stat st {};
  site.dir_exists = ::stat(site.dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  site.text = read_hook(site.hook);
  site.foreign_link = foreign_link_refusal(site.hook);
  if (!site.dir_exists) {
    site.dir_error = creation_error(site.dir);
    return site;
  }
  site.write_error = replacement_error(site.hook);
  if (::stat(site.hook.c_str(), &st) == 0) {
    site.executable = (st.st_mode & 0755) == 0755;
    if (::geteuid() != 0 && st.st_uid != ::geteuid()) {
      site.chmod_error = os_error(EPERM);  // only the owner (or root) may change the mode
    }
  }
  return site;
}

// True when the hooks directory lies in the work tree (not in `.git`) and git tracks files in it.
// Only then is git asked: enable-all meets thousands of repositories with their own hooks.
bool tracked_in_work_tree(const fs::path& repo, GitEnv env, const std::string& root,
                          const fs::path& dir) {
  const fs::path top = canonical_or_same(root);
  const fs::path hooks = canonical_or_same(dir);
  if (!lies_within(hooks, top) || lies_within(hooks, top / ".git")) {
    return false;
  }
  const auto listed = git_output(
      repo, {"-C", root, "ls-files", "-z", "--", hooks.lexically_relative(top).string()}, env);
  return listed && !listed->empty();
}

// The top level and the hooks directory git names; the second is empty when git names none.
std::optional<std::pair<std::string, std::string>> ask_where(const fs::path& repo, GitEnv env) {
  const auto both = git_output(repo, {"rev-parse", "--show-toplevel", "--git-path", "hooks"}, env);
  if (!both) {
    return std::nullopt;
  }
  if (auto split = split_where(*both)) {
    return split;
  }
  // one question at a time: each answer is then one path, whatever it holds
  auto root = git_line(repo, {"rev-parse", "--show-toplevel"}, env);
  if (!root) {
    return std::nullopt;
  }
  auto hooks = git_line(repo, {"rev-parse", "--git-path", "hooks"}, env);
  return std::pair{std::move(*root), hooks.value_or("")};
}

struct EnablePlan {
  bool create_dir = false;
  std::optional<std::string> text;  // nothing when the hook already reads so
};

// Every refusal enable can know before it writes, in the order it would meet them.
Result<EnablePlan, HostError> plan_enable(const HookSite& site) {
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
  std::string text = rewrite_hook(existing);
  const bool unchanged = existing == text;
  // one `git commit -a` or `git add -A` would send a new or edited hook to the whole team
  if (site.tracked && !(unchanged && site.executable)) {
    return Err{tracked_refusal(site.hook, site.dir)};
  }
  // enable writes the hook or its mode, both through the same links
  if (site.foreign_link) {
    return Err{*site.foreign_link};
  }
  // a hook that already reads so is left alone: enable-all runs over hundreds of them
  if (unchanged) {
    if (!site.executable && site.chmod_error) {
      return Err{HostError::could_not("chmod +x", site.hook, site.chmod_error)};
    }
    return EnablePlan{false, std::nullopt};
  }
  if (site.dir_exists && site.write_error) {
    return Err{HostError::could_not("write", site.hook, site.write_error)};
  }
  return EnablePlan{!site.dir_exists, std::move(text)};
}

struct Removal {
  fs::path hook;
  std::string stripped;
};

// What disable would write where: nothing when the hook holds no block.
Result<std::optional<Removal>, HostError> plan_removal(const fs::path& repo, GitEnv env) {
  const auto hooks = git_line(repo, {"rev-parse", "--git-path", "hooks"}, env);
  if (!hooks) {
    return Err{not_a_repository(repo)};
  }
  const HookSite site = look_at(hooks_dir_from(repo, *hooks));
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
  if (site.write_error) {
    return Err{HostError::could_not("write", site.hook, site.write_error)};
  }
  // the team's hook is the team's: taking the block out would reach everyone, as putting it in
  // git tracks nothing inside a `.git`: the usual hooks directory costs no further git run
  const fs::path dir = canonical_or_same(site.dir);
  const bool in_git_dir = std::find(dir.begin(), dir.end(), fs::path(".git")) != dir.end();
  if (const auto root =
          in_git_dir ? std::nullopt : git_line(repo, {"rev-parse", "--show-toplevel"}, env);
      root && tracked_in_work_tree(repo, env, *root, site.dir)) {
    return Err{HostError::failure("will not edit " + pylon::path_text(site.hook) +
                                  ": the team's hooks directory " + pylon::path_text(site.dir) +
                                  " is tracked by git, so removing the recorder would reach "
                                  "everyone who shares the repository; if they all agree, take "
                                  "it out there by hand")};
  }
  return std::optional<Removal>{Removal{site.hook, std::move(*stripped)}};
}

// The Enabled record of the repository, once the recorder is in `hook`.
Result<Enabled, HostError> backfill(const fs::path& repo, const fs::path& marker_dir,
                                    const std::string& root, const fs::path& hook, GitEnv env) {
  const auto latest = git_line(repo, {"log", "-1", "--format=%ct"}, env);
  const auto backfilled = latest ? pylon::parse_i64(*latest) : std::nullopt;
  // an older checkout must not take the marker back in time
  auto marker = advance_marker(marker_dir, root, backfilled);
  if (!marker) {
    return Err{HostError::could_not("write marker in", marker_dir, marker.error())};
  }
  return Enabled{backfilled, root, hook, std::move(marker.value().path), marker.value().written,
                 {}};
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
    if (auto executable = pylon::add_mode(plan.path, 0755); !executable) {
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

std::optional<std::pair<std::string, std::string>> split_where(std::string_view output) {
  const std::size_t first = output.find('\n');
  if (first == std::string_view::npos || first == 0 || output.back() != '\n' ||
      std::count(output.begin(), output.end(), '\n') != 2 || first + 2 == output.size()) {
    return std::nullopt;
  }
  return std::pair{std::string(output.substr(0, first)),
                   std::string(output.substr(first + 1, output.size() - first - 2))};
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

Result<HookSite, HostError> locate(const fs::path& repo, GitEnv env, const HostError& outside) {
  auto where = ask_where(repo, env);
  if (!where) {
    return Err{outside};
  }
  if (where->second.empty()) {
    return Err{no_hooks_dir(where->first)};
  }
  HookSite site = look_at(hooks_dir_from(repo, where->second));
  site.root = std::move(where->first);
  site.tracked = tracked_in_work_tree(repo, env, site.root, site.dir);
  return site;
}

Result<std::string, HostError> would_enable(const fs::path& repo, GitEnv env) {
  auto site = locate(repo, env, not_a_repository_to_enable(repo));
  if (!site) {
    return Err{site.error()};
  }
  const HookSite& found = site.value();
  // where a hook tool keeps the recorder elsewhere, the hook git runs is not written
  const ToolFacts tools =
      gather_tool_facts(repo, env, found.root, found.dir,
                        found.text ? found.text.value() : std::optional<std::string>{});
  if (plan_for_tools(tools, found.root).target != ToolPlan::Target::Hook) {
    return std::move(site.value().root);
  }
  if (auto plan = plan_enable(found); !plan) {
    return Err{plan.error()};
  }
  return std::move(site.value().root);
}

Result<Enabled, HostError> enable(const fs::path& repo, const fs::path& marker_dir, GitEnv env) {
  auto located = locate(repo, env, not_a_repository_to_enable(repo));
  if (!located) {
    return Err{located.error()};
  }
  const HookSite& site = located.value();
  // where the repository's hook tool keeps the recorder, if anywhere but the hook git runs
  const ToolFacts tools = gather_tool_facts(
      repo, env, site.root, site.dir, site.text ? site.text.value() : std::optional<std::string>{});
  ToolPlan placed = plan_for_tools(tools, site.root);
  if (placed.target != ToolPlan::Target::Hook) {
    // Already: the team's configuration runs the recorder, and nothing of ours is written
    if (placed.target != ToolPlan::Target::Already) {
      if (auto done = place_recorder(placed, tools, site.root); !done) {
        return Err{done.error()};
      }
    }
    auto enabled = backfill(repo, marker_dir, site.root, placed.path, env);
    if (enabled) {
      enabled.value().notes = std::move(placed.notes);
    }
    return enabled;
  }
  auto plan = plan_enable(site);
  if (!plan) {
    return Err{plan.error()};
  }
  if (plan.value().create_dir) {
    std::error_code ec;
    fs::create_directories(site.dir, ec);
    if (ec) {
      return Err{HostError::could_not("create", site.dir, ec)};
    }
  }
  if (const auto& text = plan.value().text) {
    if (auto written = pylon::write_atomic(site.hook, *text); !written) {
      return Err{HostError::could_not("write", site.hook, written.error())};
    }
  }
  if (auto executable = pylon::add_mode(site.hook, 0755); !executable) {
    return Err{HostError::could_not("chmod +x", site.hook, executable.error())};
  }

  auto enabled = backfill(repo, marker_dir, site.root, site.hook, env);
  if (enabled) {
    enabled.value().notes = std::move(placed.notes);
  }
  return enabled;
}

Result<std::optional<fs::path>, HostError> would_disable(const fs::path& repo, GitEnv env) {
  auto plan = plan_removal(repo, env);
  if (!plan) {
    return Err{plan.error()};
  }
  if (!plan.value()) {
    return std::optional<fs::path>{};
  }
  return std::optional<fs::path>{std::move(plan.value()->hook)};
}

Result<std::optional<fs::path>, HostError> disable(const fs::path& repo, GitEnv env) {
  auto plan = plan_removal(repo, env);
  if (!plan) {
    return Err{plan.error()};
  }
  if (!plan.value()) {
    return std::optional<fs::path>{};
  }
  const Removal& removal = *plan.value();
  if (auto written = pylon::write_atomic(removal.hook, removal.stripped); !written) {
    return Err{HostError::could_not("write", removal.hook, written.error())};
  }
  return std::optional<fs::path>{removal.hook};
}

Result<Disabled, HostError> disable_everywhere(const fs::path& repo, GitEnv env, bool write) {
  auto plan = plan_removal(repo, env);
  if (!plan) {
    return Err{plan.error()};
  }
  Disabled done;
  if (const auto& removal = plan.value()) {
    if (write) {
      if (auto written = pylon::write_atomic(removal->hook, removal->stripped); !written) {
        return Err{HostError::could_not("write", removal->hook, written.error())};
      }
    }
    done.hook = removal->hook;
  }
  // the copies the hook tools kept, and the places enable wrote for them; a repository without a
  // work tree has none of the tools' files
  const auto where = ask_where(repo, env);
  if (!where || where->second.empty()) {
    return done;
  }
  const fs::path dir = hooks_dir_from(repo, where->second);
  std::optional<std::string> hook;
  if (auto read = read_hook(dir / "post-commit"); read) {
    hook = std::move(read.value());
  }
  if (hook && plan.value()) {
    hook = plan.value()->stripped;  // as it reads once written
  }
  const ToolFacts facts = gather_tool_facts(repo, env, where->first, dir, hook);
  for (const Route& route : recorder_routes(facts)) {
    if (!route.removable) {
      done.still_recorded = done.still_recorded || route.reached;
      if (!route.hint.empty()) {
        done.left.push_back(route.hint);
      }
      continue;
    }
    auto text = read_hook(route.path);
    if (!text || !text.value()) {
      return Err{HostError::failure("could not read " + pylon::path_text(route.path) +
                                    (text ? std::string(": it is gone") : ": " + text.error()))};
    }
    const bool lefthook = route.path == facts.lefthook_local.path;
    auto stripped = lefthook ? without_lefthook_section(*text.value()) : strip_hook(*text.value());
    if (!stripped) {
      continue;  // the recorder's line alone, which is not disable's to take out
    }
    // what enable created and nothing else wrote to goes as a whole
    const bool whole = lefthook ? pylon::trim(*stripped).empty()
                                : route.path == facts.husky.path && *stripped == "#!/bin/sh\n";
    if (write) {
      std::error_code ec;
      if (whole) {
        fs::remove(route.path, ec);
      } else if (auto written = pylon::write_atomic(route.path, *stripped); !written) {
        ec = written.error();
      }
      if (ec) {
        return Err{HostError::could_not(whole ? "remove" : "write", route.path, ec)};
      }
    }
    done.removed.push_back(route.path);
  }
  return done;
}

}  // namespace gitactivity
