#include "gitactivity/global_hooks.hpp"

#include "clock.hpp"
#include "env.hpp"
#include "gate.hpp"
#include "gitactivity/enable.hpp"
#include "gitactivity/facts.hpp"
#include "gitactivity/hook.hpp"
#include "gitactivity/owner.hpp"
#include "gitactivity/repos.hpp"
#include "proc/proc.hpp"
#include "text.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>

namespace gitactivity {
namespace {

namespace fs = std::filesystem;
using host::HostError;

constexpr std::array<std::string_view, 1> commit_events = {"post-commit"};
constexpr std::array<std::string_view, 3> head_events = {"post-merge", "post-rewrite",
                                                         "post-applypatch"};
// The block's command, and the same for the events after which HEAD names the latest commit; git
// appends the hook's arguments to the command, and the final `true` takes them.
constexpr GlobalHook hooks[] = {
    {"pylon-git-activity",
     "command -v pylon-host >/dev/null 2>&1 && pylon-host git-activity record >/dev/null 2>&1 || "
     "true",
     commit_events},
    {"pylon-git-activity-head",
     "command -v pylon-host >/dev/null 2>&1 && pylon-host git-activity record --head >/dev/null "
     "2>&1 || true",
     head_events},
};

// The probe hook: defined on the command line only, and turned off there.
constexpr std::string_view probe = "pylon-host-probe";
// Every hook.* key of the names of ours, and of any name that begins as ours does.
constexpr std::string_view names_pattern = "^hook\\.pylon-git-activity";

// A key "hook.<name>.<variable>" split; nothing for any other key.
struct HookKey {
  std::string_view name;
  std::string_view variable;
};
std::optional<HookKey> split_key(std::string_view key) {
  constexpr std::string_view section = "hook.";
  const std::size_t dot = key.rfind('.');
  if (!key.starts_with(section) || dot < section.size() + 1) {
    return std::nullopt;
  }
  return HookKey{key.substr(section.size(), dot - section.size()), key.substr(dot + 1)};
}

const GlobalHook* ours_named(std::string_view name) {
  const auto* found = std::find_if(std::begin(hooks), std::end(hooks),
                                   [&](const GlobalHook& h) { return h.name == name; });
  return found == std::end(hooks) ? nullptr : found;
}

// True when the entry is one enable --global writes.
bool written_by_us(const ConfigEntry& e) {
  const auto key = split_key(e.key);
  const GlobalHook* hook = key ? ours_named(key->name) : nullptr;
  if (hook == nullptr) {
    return false;
  }
  if (key->variable == "command") {
    return e.value == hook->command;
  }
  return key->variable == "event" &&
         std::find(hook->events.begin(), hook->events.end(), e.value) != hook->events.end();
}

bool has_entry(std::span<const ConfigEntry> entries, std::string_view scope, const std::string& key,
               std::string_view value) {
  return std::any_of(entries.begin(), entries.end(), [&](const ConfigEntry& e) {
    return e.scope == scope && e.key == key && e.value == value;
  });
}

std::string key_of(const GlobalHook& hook, std::string_view variable) {
  return "hook." + std::string(hook.name) + "." + std::string(variable);
}

std::vector<std::string> foreign_entries(std::span<const ConfigEntry> entries) {
  std::vector<std::string> out;
  for (const ConfigEntry& e : entries) {
    if (e.scope == "global" && !written_by_us(e)) {
      out.push_back(e.key + "=" + e.value);
    }
  }
  return out;
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) {
    text += (text.empty() ? "" : ", ") + item;
  }
  return text;
}

// A word as a POSIX shell reads it back: bare when it is plain, else in single quotes.
std::string shell_word(std::string_view word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           std::string_view("-_./=:^+").find(c) != std::string_view::npos;
  });
  if (plain) {
    return std::string(word);
  }
  std::string out = "'";
  for (const char c : word) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

std::string command_text(std::string_view scope, const ConfigWrite& write) {
  std::string text = "git config " + std::string(scope);
  for (const std::string& word : write) {
    text += ' ';  // not `" " + string`, which GCC 12 at -O3 takes for an overlapping copy
    text += shell_word(word);
  }
  return text;
}

// git inside the directory the user named, or where we run: a repository the user named means
// that repository, whatever git variables we inherited.
proc::Outcome run_git(const std::optional<fs::path>& dir, const std::vector<std::string>& args,
                      GitEnv env) {
  return proc::capture("git", args, dir, git_deadline_seconds,
                       env == GitEnv::WithoutLocal
                           ? std::span<const std::string_view>(git_local_env)
                           : std::span<const std::string_view>());
}

// The entries of the hook.pylon-git-activity* names in `scope_args` ("--global", or every scope).
Result<std::vector<ConfigEntry>, HostError> read_entries(const std::optional<fs::path>& dir,
                                                         std::vector<std::string> scope_args,
                                                         GitEnv env, const fs::path& about) {
  std::vector<std::string> args = {"config"};
  args.insert(args.end(), scope_args.begin(), scope_args.end());
  args.insert(args.end(), {"--show-scope", "-z", "--get-regexp", std::string(names_pattern)});
  const proc::Outcome outcome = run_git(dir, args, env);
  // 1: no such key; 129: a git without --show-scope, far too old to run configured hooks
  if ((outcome.code == 1 && outcome.stdout.empty() && outcome.stderr.empty()) ||
      outcome.code == 129) {
    return std::vector<ConfigEntry>{};
  }
  auto entries = outcome.ok() ? parse_config_entries(outcome.stdout) : std::nullopt;
  if (!entries) {
    return Err{HostError::could_not(
        "read the git configuration of", about,
        outcome.ok() ? "git's answer is not a configuration listing" : outcome.reason())};
  }
  return std::move(*entries);
}

// Runs each write, the owner checks on the file first; what was done, or why it stopped.
Result<std::vector<std::string>, HostError> apply_writes(const std::optional<fs::path>& dir,
                                                         std::string_view scope,
                                                         const std::vector<ConfigWrite>& writes,
                                                         const fs::path& config, GitEnv env,
                                                         bool dry_run) {
  std::vector<std::string> done;
  if (writes.empty()) {
    return done;
  }
  if (auto refusal = config_file_refusal(config)) {
    return Err{*refusal};
  }
  for (const ConfigWrite& write : writes) {
    if (!dry_run) {
      std::vector<std::string> args = {"config", std::string(scope)};
      args.insert(args.end(), write.begin(), write.end());
      const proc::Outcome outcome = run_git(dir, args, env);
      if (!outcome.ok()) {
        std::string message = "git could not write " + pylon::path_text(config) + ": " +
                              outcome.reason() + " (`" + command_text(scope, write) + "`)";
        if (!done.empty()) {
          message += "; done before it: " + joined(done);
        }
        return Err{HostError::failure(message)};
      }
    }
    done.push_back(command_text(scope, write));
  }
  return done;
}

Result<fs::path, HostError> global_config_live() {
  return global_config_file(pylon::env_var("GIT_CONFIG_GLOBAL"), pylon::env_var("HOME"),
                            pylon::env_var("XDG_CONFIG_HOME"),
                            [](const fs::path& p) { return ::access(p.c_str(), R_OK) == 0; });
}

}  // namespace

std::span<const GlobalHook> global_hooks() {
  return hooks;
}

std::optional<std::vector<ConfigEntry>> parse_config_entries(std::string_view output) {
  std::vector<ConfigEntry> entries;
  while (!output.empty()) {
    const std::size_t scope_end = output.find('\0');
    const std::size_t entry_end =
        scope_end == std::string_view::npos ? scope_end : output.find('\0', scope_end + 1);
    if (entry_end == std::string_view::npos) {
      return std::nullopt;
    }
    const std::string_view entry = output.substr(scope_end + 1, entry_end - scope_end - 1);
    const std::size_t nl = entry.find('\n');  // none: a key without a value
    entries.push_back({std::string(output.substr(0, scope_end)), std::string(entry.substr(0, nl)),
                       nl == std::string_view::npos ? "" : std::string(entry.substr(nl + 1))});
    output.remove_prefix(entry_end + 1);
  }
  return entries;
}

Result<std::vector<ConfigWrite>, HostError> plan_global_enable(std::span<const ConfigEntry> entries,
                                                               const fs::path& config) {
  if (const auto foreign = foreign_entries(entries); !foreign.empty()) {
    return Err{HostError::failure(
        "will not change " + pylon::path_text(config) +
        ": it already holds hook.pylon-git-activity entries that differ from pylon-host's: " +
        joined(foreign) +
        " (take them out with `git config --global --unset-all KEY`, then run `pylon host "
        "git-activity enable --global` again)")};
  }
  std::vector<ConfigWrite> writes;
  for (const GlobalHook& hook : hooks) {
    if (!has_entry(entries, "global", key_of(hook, "command"), hook.command)) {
      writes.push_back({key_of(hook, "command"), std::string(hook.command)});
    }
  }
  for (const GlobalHook& hook : hooks) {
    for (const std::string_view event : hook.events) {
      if (!has_entry(entries, "global", key_of(hook, "event"), event)) {
        writes.push_back({"--add", key_of(hook, "event"), std::string(event)});
      }
    }
  }
  return writes;
}

GlobalRemoval plan_global_disable(std::span<const ConfigEntry> entries) {
  GlobalRemoval removal;
  for (const GlobalHook& hook : hooks) {
    for (const std::string_view event : hook.events) {
      if (has_entry(entries, "global", key_of(hook, "event"), event)) {
        removal.writes.push_back(
            {"--fixed-value", "--unset-all", key_of(hook, "event"), std::string(event)});
      }
    }
  }
  for (const GlobalHook& hook : hooks) {
    if (has_entry(entries, "global", key_of(hook, "command"), hook.command)) {
      removal.writes.push_back(
          {"--fixed-value", "--unset-all", key_of(hook, "command"), std::string(hook.command)});
    }
  }
  removal.left = foreign_entries(entries);
  return removal;
}

bool global_hooks_set(std::span<const ConfigEntry> entries) {
  return std::any_of(std::begin(hooks), std::end(hooks), [&](const GlobalHook& hook) {
    return has_entry(entries, "global", key_of(hook, "command"), hook.command);
  });
}

std::vector<ConfigWrite> plan_opt_out(std::span<const ConfigEntry> entries, bool off) {
  std::vector<ConfigWrite> writes;
  for (const GlobalHook& hook : hooks) {
    const std::string key = key_of(hook, "enabled");
    // the last value of the repository's own file is the one git reads there
    const auto last = std::find_if(entries.rbegin(), entries.rend(), [&](const ConfigEntry& e) {
      return e.scope == "local" && e.key == key;
    });
    const bool is_off = last != entries.rend() && last->value == "false";
    if (off && !is_off) {
      writes.push_back({"--replace-all", key, "false"});
    } else if (!off && has_entry(entries, "local", key, "false")) {
      writes.push_back({"--fixed-value", "--unset-all", key, "false"});
    }
  }
  return writes;
}

Result<fs::path, HostError> global_config_file(
    const std::optional<std::string>& git_config_global, const std::optional<std::string>& home,
    const std::optional<std::string>& xdg_config_home,
    const std::function<bool(const fs::path&)>& readable) {
  if (git_config_global) {
    if (git_config_global->empty()) {
      return Err{HostError::failure(
          "GIT_CONFIG_GLOBAL is set but empty, so git has no global configuration to write")};
    }
    return fs::path(*git_config_global);
  }
  if (!home || home->empty()) {
    return Err{HostError::failure(
        "HOME is not set, so git has no global configuration to write (set HOME, or "
        "GIT_CONFIG_GLOBAL to the file)")};
  }
  const fs::path user = fs::path(*home) / ".gitconfig";
  const fs::path xdg =
      (xdg_config_home && !xdg_config_home->empty() ? fs::path(*xdg_config_home)
                                                    : fs::path(*home) / ".config") /
      "git" / "config";
  return !readable(user) && readable(xdg) ? xdg : user;
}

HookSupport judge_hook_support(int code, std::string_view output) {
  HookSupport support;
  // 1: no hook runs for the event (outside a repository none does); an older git has no
  // `hook list` and fails with a usage error
  support.configured = code == 0 || code == 1;
  while (!output.empty()) {
    const std::size_t nl = output.find('\n');
    std::string_view line = output.substr(0, nl);
    output.remove_prefix(nl == std::string_view::npos ? output.size() : nl + 1);
    const std::size_t tab = line.rfind('\t');
    if (line.substr(tab == std::string_view::npos ? 0 : tab + 1) != probe) {
      continue;
    }
    // "disabled\t<name>", after the scope with --show-scope
    for (std::size_t field = 0; tab != std::string_view::npos && field <= tab;) {
      const std::size_t next = line.find('\t', field);
      support.opt_out = support.opt_out || line.substr(field, next - field) == "disabled";
      field = next + 1;
    }
  }
  return support;
}

HookSupport hook_support_live(const fs::path& dir, GitEnv env) {
  const std::string name = "hook." + std::string(probe);
  const proc::Outcome outcome =
      run_git(dir,
              {"-c", name + ".command=true", "-c", name + ".event=post-commit", "-c",
               name + ".enabled=false", "hook", "list", "post-commit"},
              env);
  return judge_hook_support(outcome.code, outcome.stdout);
}

HostError too_old_git(std::string_view doing) {
  const proc::Outcome outcome = run_git(std::nullopt, {"--version"}, GitEnv::WithoutLocal);
  std::string version(pylon::trim(outcome.stdout));
  if (constexpr std::string_view prefix = "git version "; version.starts_with(prefix)) {
    version.erase(0, prefix.size());
  }
  if (!outcome.ok() || version.empty()) {
    // not a question of its version: git fails here (a configuration it cannot read)
    return HostError::failure(
        std::string(doing) + ": git cannot say whether it runs hooks from its configuration: " +
        (outcome.reason().empty() ? "`git --version` gave no answer" : outcome.reason()) +
        " (nothing was written)");
  }
  return HostError::failure(std::string(doing) +
                            " needs git 2.54 or later, which runs hooks defined in its "
                            "configuration; this git is " +
                            version +
                            " (nothing was written; per-repository recording works with any git: "
                            "`pylon host git-activity enable [REPO]`)");
}

Result<GlobalChange, HostError> enable_global(bool dry_run) {
  auto config = global_config_live();
  if (!config) {
    return Err{config.error()};
  }
  if (!hook_support_live("/", GitEnv::WithoutLocal).configured) {
    return Err{too_old_git("enable --global")};
  }
  auto entries = read_entries(std::nullopt, {"--global"}, GitEnv::WithoutLocal, config.value());
  if (!entries) {
    return Err{entries.error()};
  }
  auto writes = plan_global_enable(entries.value(), config.value());
  if (!writes) {
    return Err{writes.error()};
  }
  auto done = apply_writes(std::nullopt, "--global", writes.value(), config.value(),
                           GitEnv::WithoutLocal, dry_run);
  if (!done) {
    return Err{done.error()};
  }
  return GlobalChange{config.value(), std::move(done.value()), {}};
}

Result<GlobalChange, HostError> disable_global(bool dry_run) {
  auto config = global_config_live();
  if (!config) {
    return Err{config.error()};
  }
  if (!hook_support_live("/", GitEnv::WithoutLocal).configured) {
    return Err{too_old_git("disable --global")};
  }
  auto entries = read_entries(std::nullopt, {"--global"}, GitEnv::WithoutLocal, config.value());
  if (!entries) {
    return Err{entries.error()};
  }
  GlobalRemoval removal = plan_global_disable(entries.value());
  auto done = apply_writes(std::nullopt, "--global", removal.writes, config.value(),
                           GitEnv::WithoutLocal, dry_run);
  if (!done) {
    return Err{done.error()};
  }
  return GlobalChange{config.value(), std::move(done.value()), std::move(removal.left)};
}

Result<RepoOptOut, HostError> set_opt_out(const fs::path& repo, bool off, GitEnv env) {
  RepoOptOut result;
  auto entries = read_entries(repo, {}, env, repo);
  if (!entries) {
    return Err{entries.error()};
  }
  result.global = global_hooks_set(entries.value());
  const std::vector<ConfigWrite> writes = plan_opt_out(entries.value(), off);
  if ((off && !result.global) || (!off && writes.empty())) {
    return result;
  }
  // the repository's own file, which every linked work tree of it shares
  const auto common =
      git_line(repo, {"rev-parse", "--path-format=absolute", "--git-common-dir"}, env);
  if (!common) {
    return Err{not_a_repository(repo)};
  }
  result.config = fs::path(*common) / "config";
  if (off && !writes.empty() && !hook_support_live(repo, env).opt_out) {
    result.supported = false;
    return result;
  }
  auto done = apply_writes(repo, "--local", writes, result.config, env, false);
  if (!done) {
    return Err{done.error()};
  }
  result.wrote = !done.value().empty();
  return result;
}

BlockCount count_blocks(const fs::path& marker_dir) {
  constexpr std::uint64_t listing_seconds = 60;
  BlockCount count;
  for (const MarkerOwner& owner :
       locate_owners(marker_dir, pylon::deadline_after(listing_seconds))) {
    if (owner.state != OwnerState::Found || !owner.root) {
      continue;
    }
    ++count.known;
    const auto facts = gather_repo_facts(*owner.root, GitEnv::WithoutLocal, marker_dir,
                                         not_a_repository(*owner.root));
    if (facts && facts.value().hook.text && facts.value().hook.text.value() &&
        recorder_place(*facts.value().hook.text.value()) != RecorderPlace::None) {
      ++count.with_block;
    }
  }
  return count;
}

std::optional<HostError> config_file_refusal(const fs::path& config) {
  // git writes a lock file beside it and renames that over it: a Replace there, which git makes;
  // ~/.gitconfig may be the user's own link into their dotfiles, which git writes through
  pylon::Write w;
  w.action = pylon::WriteAction::Replace;
  w.root = config.has_parent_path() ? config.parent_path() : fs::path(".");
  w.target = config.filename();
  w.own_link = true;
  w.dry_run = true;
  if (auto gated = pylon::gate(w); !gated) {
    return HostError::failure("will not have git write " + pylon::path_text(config) + ": " +
                              pylon::refusal_text(gated.error()));
  }
  return std::nullopt;
}

}  // namespace gitactivity
