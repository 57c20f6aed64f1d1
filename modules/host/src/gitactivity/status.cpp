#include "cli/git_activity.hpp"
#include "env.hpp"
#include "gitactivity/hook.hpp"
#include "gitactivity/markers.hpp"
#include "gitactivity/repos.hpp"
#include "text.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace cli {
namespace {

namespace fs = std::filesystem;
using gitactivity::GitEnv;

struct Check {
  std::string_view name;
  std::string_view state;  // "ok", "warning" or "problem"
  std::string detail;
};

// The search path desktop git clients give hooks: not the login shell's.
#ifdef __APPLE__
constexpr std::string_view desktop_path = "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
#else
constexpr std::string_view desktop_path = "/usr/local/bin:/usr/bin:/bin";
#endif

// Does the current block stand in the hook? The markers come from the text enable writes, so they
// are never spelled twice.
bool holds_current_block(std::string_view text) {
  const std::string fresh = gitactivity::rewrite_hook(std::nullopt);  // "#!/bin/sh\n" + block
  std::vector<std::string_view> lines;
  for (std::string_view rest = fresh; !rest.empty();) {
    const std::size_t nl = rest.find('\n');
    lines.push_back(rest.substr(0, nl));
    rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
  }
  // no line can equal "\n", so the second strip only normalises line endings
  return lines.size() == 4 && gitactivity::strip_block(text, lines[1], lines[3]) !=
                                  gitactivity::strip_block(text, "\n", "\n");
}

Check hook_check(const fs::path& hook, const std::optional<std::string>& text,
                 const std::string& read_error) {
  const std::string enable_hint = "run `pylon host git-activity enable`";
  std::error_code ec;
  const fs::file_status st = fs::status(hook, ec);
  if (!fs::exists(st)) {
    return {"hook", "problem",
            "no post-commit hook at " + pylon::path_text(hook) + ": " + enable_hint};
  }
  if (!fs::is_regular_file(st)) {
    return {"hook", "problem",
            pylon::path_text(hook) + " is not a regular file, so git cannot run it"};
  }
  if (!text) {
    return {"hook", "problem", "cannot read " + pylon::path_text(hook) + ": " + read_error};
  }
  if (!holds_current_block(*text)) {
    if (gitactivity::strip_hook(*text)) {
      return {"hook", "warning",
              pylon::path_text(hook) + " holds the legacy recorder block: " + enable_hint};
    }
    return {"hook", "problem",
            pylon::path_text(hook) + " does not hold the recorder block: " + enable_hint};
  }
  if ((st.permissions() & fs::perms::owner_exec) == fs::perms::none) {
    return {"hook", "problem",
            pylon::path_text(hook) + " is not executable, so git skips it: " + enable_hint +
                " or chmod +x it"};
  }
  return {"hook", "ok", pylon::path_text(hook) + " holds the recorder and is executable"};
}

Check interpreter_check(const fs::path& hook, const std::optional<std::string>& text) {
  if (!text) {
    std::error_code ec;
    if (fs::exists(hook, ec)) {
      return {"interpreter", "warning",
              "cannot tell what runs " + pylon::path_text(hook) + ": unreadable"};
    }
    return {"interpreter", "ok", "no hook to run yet; enable writes a #!/bin/sh one"};
  }
  if (const auto runner = gitactivity::foreign_interpreter(*text)) {
    return {"interpreter", "problem",
            "the hook is run by " + *runner +
                ", not by a shell, so the recorder's shell line cannot run in it"};
  }
  return {"interpreter", "ok", "a shell runs the hook"};
}

// Inside `dir` by its path alone: both are absolute and made canonical beforehand.
bool lies_within(const fs::path& path, const fs::path& dir) {
  const auto [end, _] = std::mismatch(dir.begin(), dir.end(), path.begin(), path.end());
  return end == dir.end();
}

fs::path canonical_or_same(const fs::path& path) {
  std::error_code ec;
  fs::path resolved = fs::weakly_canonical(path, ec);
  return ec ? path : resolved;
}

Check hooks_dir_check(const fs::path& repo, GitEnv env, const fs::path& root, const fs::path& dir) {
  // "global\t/path": the scope of the setting that wins
  if (const auto origin =
          gitactivity::git_line(repo, {"config", "--show-scope", "--get", "core.hooksPath"}, env)) {
    const std::string_view scope = std::string_view(*origin).substr(0, origin->find('\t'));
    if (scope == "global" || scope == "system") {
      return {"hooks-dir", "warning",
              "core.hooksPath comes from the " + std::string(scope) +
                  " configuration: " + pylon::path_text(dir) +
                  " serves every repository, and a block there records for all of them"};
    }
  }
  const auto common = gitactivity::git_line(repo, {"rev-parse", "--git-common-dir"}, env);
  const fs::path git_dir = canonical_or_same(
      common ? (fs::path(*common).is_absolute() ? fs::path(*common) : repo / *common)
             : root / ".git");
  const fs::path hooks = canonical_or_same(dir);
  if (lies_within(hooks, git_dir)) {
    return {"hooks-dir", "ok", pylon::path_text(dir) + " is this repository's own"};
  }
  if (lies_within(hooks, canonical_or_same(root))) {
    return {"hooks-dir", "warning",
            pylon::path_text(dir) +
                " lies in the work tree (core.hooksPath): it may be shared with other "
                "repositories or replaced by a checkout"};
  }
  return {"hooks-dir", "warning",
          pylon::path_text(dir) +
              " lies outside the repository (core.hooksPath): other repositories may "
              "share it, and removing it stops recording here"};
}

Check path_check(const std::optional<fs::path>& found) {
  if (!found) {
    return {"path", "problem",
            "pylon-host is not on PATH, so the hook skips recording: install it (make install "
            "PREFIX=$HOME/.local) and put its bin directory on PATH"};
  }
  return {"path", "ok", "pylon-host is " + pylon::path_text(*found)};
}

Check desktop_path_check(const std::optional<fs::path>& found) {
  if (const auto there = find_on_path("pylon-host", desktop_path)) {
    return {"desktop-path", "ok", "desktop git clients find " + pylon::path_text(*there)};
  }
  const std::string target = found ? pylon::path_text(*found) : std::string("/path/to/pylon-host");
  return {"desktop-path", "warning",
          "desktop git clients run hooks with PATH=" + std::string(desktop_path) +
              ", where pylon-host is missing: link it there (sudo ln -s " + target +
              " /usr/local/bin/pylon-host)"};
}

Check marker_check(const fs::path& repo, GitEnv env, const fs::path& marker) {
  struct stat st {};
  if (::stat(marker.c_str(), &st) != 0) {
    return {"marker", "warning",
            "no marker at " + pylon::path_text(marker) +
                " yet: run `pylon host git-activity enable`, or commit"};
  }
  const auto latest = gitactivity::git_line(repo, {"log", "-1", "--format=%ct"}, env);
  const auto commit = latest ? pylon::parse_i64(*latest) : std::nullopt;
  if (commit && static_cast<std::int64_t>(st.st_mtime) < *commit) {
    return {"marker", "warning",
            pylon::path_text(marker) +
                " is older than the latest commit: merges and pulls do not run "
                "post-commit; `pylon host git-activity enable` refreshes it"};
  }
  return {"marker", "ok", pylon::path_text(marker) + " is up to date"};
}

}  // namespace

std::optional<fs::path> find_on_path(std::string_view program, std::string_view search_path) {
  while (true) {
    const std::size_t colon = search_path.find(':');
    const std::string_view entry = search_path.substr(0, colon);
    // an empty entry is the current directory, as the shell reads it
    const fs::path candidate = fs::path(entry.empty() ? "." : entry) / program;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string_view::npos) {
      return std::nullopt;
    }
    search_path.remove_prefix(colon + 1);
  }
}

VerbResult status_verb(const GitActivityCall& call) {
  const std::optional<std::string_view> named =
      call.positionals.size() > 1 ? std::optional(call.positionals[1]) : std::nullopt;
  auto repo = repo_arg(named);
  if (!repo) {
    return Err{repo.error()};
  }
  // a repository the user named is that repository, whatever git variables are inherited
  const GitEnv env = named ? GitEnv::WithoutLocal : GitEnv::Inherited;
  const auto root = gitactivity::git_line(repo.value(), {"rev-parse", "--show-toplevel"}, env);
  const auto dir = gitactivity::hooks_dir(repo.value(), env);
  if (!root || !dir) {
    return Err{gitactivity::not_a_repository(repo.value())};
  }
  const fs::path hook = *dir / "post-commit";
  std::optional<std::string> text;
  std::string read_error;
  if (auto read = gitactivity::read_hook(hook); read) {
    text = read.value();
  } else {
    read_error = read.error();
  }
  const std::optional<fs::path> found =
      find_on_path("pylon-host", pylon::env_var("PATH").value_or(""));
  const fs::path marker = call.marker_dir / gitactivity::encode_marker(*root);
  const std::vector<Check> checks = {
      hook_check(hook, text, read_error),
      interpreter_check(hook, text),
      hooks_dir_check(repo.value(), env, *root, *dir),
      path_check(found),
      desktop_path_check(found),
      marker_check(repo.value(), env, marker),
  };
  const bool ok = std::none_of(checks.begin(), checks.end(),
                               [](const Check& c) { return c.state == "problem"; });
  const bool warned = std::any_of(checks.begin(), checks.end(),
                                  [](const Check& c) { return c.state == "warning"; });
  if (call.json) {
    Json list = Json::array();
    for (const Check& c : checks) {
      Json one;
      one["check"] = c.name;
      one["state"] = c.state;
      one["detail"] = c.detail;
      list.push_back(std::move(one));
    }
    Json value;
    value["ok"] = ok;
    value["root"] = *root;
    value["hooks_dir"] = pylon::path_text(*dir);
    value["hook"] = pylon::path_text(hook);
    value["enabled"] = text && holds_current_block(*text);
    value["checks"] = std::move(list);
    emit(call.out, value);
  } else {
    for (const Check& c : checks) {
      std::string line(c.state);
      line.resize(9, ' ');
      line += c.name;
      line.resize(std::max<std::size_t>(line.size() + 1, 23), ' ');
      call.out << line << c.detail << '\n';
    }
    call.out << (ok ? "commits in " + *root + " are recorded"
                    : "commits in " + *root + " are NOT recorded")
             << (ok && warned ? " (see the warnings above)" : "") << '\n'
             << std::flush;
  }
  return ok ? 0 : 1;
}

}  // namespace cli
