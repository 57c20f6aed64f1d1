#include "gitactivity/repos.hpp"

#include "env.hpp"
#include "proc/proc.hpp"
#include "text.hpp"
#include "unique_fd.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

// Dependency, build-output and cache directories: the walk never enters them.
constexpr std::string_view pruned_names[] = {
#include "gitactivity/pruned_names.inc"
};

bool is_pruned(std::string_view name) {
  return std::find(std::begin(pruned_names), std::end(pruned_names), name) !=
         std::end(pruned_names);
}

// Component by component, bytes unsigned: with '/' ranked below every other byte, a plain
// byte-wise comparison gives exactly that order (names hold neither '/' nor NUL).
bool path_less(const std::string& a, const std::string& b) {
  const auto rank = [](char c) {
    return c == '/' ? 0u : static_cast<unsigned>(static_cast<unsigned char>(c)) + 1u;
  };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char x, char y) { return rank(x) < rank(y); });
}

std::string join(const std::string& dir, std::string_view name) {
  std::string path;
  path.reserve(dir.size() + 1 + name.size());
  path = dir;
  if (!path.empty() && path.back() != '/') {
    path += '/';
  }
  path += name;
  return path;
}

// The root may be a symbolic link to a directory; below it, a link is never followed, even one
// swapped in after the parent was listed.
pylon::UniqueFd open_directory(const std::string& dir, bool is_root) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (is_root ? 0 : O_NOFOLLOW);
  return pylon::UniqueFd(::open(dir.c_str(), flags));
}

bool is_directory_entry(int dir_fd, const char* name, unsigned char type) {
  if (type != DT_UNKNOWN) {
    return type == DT_DIR;
  }
  // only file systems that leave the type out of the listing cost a stat per entry
  struct stat st {};
  return ::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Calls visit(directory fd, name, type) for every entry, "." and ".." included. A read error ends
// the listing quietly: an unreadable directory lists as empty.
template <class Visit>
void for_each_entry(pylon::UniqueFd dir, Visit&& visit) {
#if defined(__linux__) && defined(__GLIBC__)
  // getdents64 straight into a buffer of our own: fdopendir would add three system calls to each
  // of the hundred thousand directories of a home
  char buf[32768];
  for (;;) {
    const ssize_t n = ::getdents64(dir.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
      struct dirent64 head {};  // the fixed part only; the name runs on past it
      std::memcpy(&head, buf + at, offsetof(struct dirent64, d_name));
      visit(dir.get(), buf + at + offsetof(struct dirent64, d_name), head.d_type);
      at += head.d_reclen;
    }
  }
#else
  DIR* const listing = ::fdopendir(dir.get());
  if (listing == nullptr) {
    return;
  }
  dir.release();  // the listing owns it now
  while (const struct dirent* entry = ::readdir(listing)) {
    visit(::dirfd(listing), entry->d_name, entry->d_type);
  }
  ::closedir(listing);
#endif
}

// The whole file when it is a regular one of at most 64 KiB; nothing otherwise (a FIFO must not
// block us, and a bigger file than a repository's own settings is a reason to ask git).
std::optional<std::string> read_small_file(const char* path, int extra_flags) {
  const pylon::UniqueFd fd(
      ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | extra_flags));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 65536) {
    return std::nullopt;
  }
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return std::nullopt;  // shrank or failed underfoot: let git look
    }
    got += static_cast<std::size_t>(n);
  }
  return text;
}

bool contains_word(std::string_view text, std::string_view lower_word) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  const auto it = std::search(text.begin(), text.end(), lower_word.begin(), lower_word.end(),
                              [&](char c, char w) { return lower(c) == w; });
  return it != text.end();
}

// The one path a line of git's own files holds (line ends dropped as git drops them), taken from
// `base` when relative; nothing for an empty one or one that goes on past its line.
std::optional<fs::path> path_line(std::string_view line, const fs::path& base) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  if (line.empty() || line.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos) {
    return std::nullopt;
  }
  const fs::path path(line);
  return path.is_absolute() ? path : base / path;
}

// The git directory that the `.git` in `dir` stands for: the directory itself, or where a `.git`
// file sends git ("gitdir: PATH", PATH relative to `dir`, line ends dropped as git drops them);
// nothing for a link, anything else, or a file git would not read so.
std::optional<fs::path> git_dir_here(const fs::path& dir) {
  const fs::path git = dir / ".git";
  struct stat st {};
  if (::lstat(git.c_str(), &st) != 0) {
    return std::nullopt;
  }
  if (S_ISDIR(st.st_mode)) {
    return git;
  }
  constexpr std::string_view prefix = "gitdir: ";
  const std::optional<std::string> text =
      S_ISREG(st.st_mode) ? read_small_file(git.c_str(), O_NOFOLLOW) : std::nullopt;
  if (!text || !text->starts_with(prefix)) {
    return std::nullopt;
  }
  return path_line(std::string_view(*text).substr(prefix.size()), dir);
}

// The common git directory a linked work tree's `commondir` names (relative to `git`, one line);
// nothing for anything git might read otherwise.
std::optional<fs::path> named_common_dir(const fs::path& git) {
  const std::optional<std::string> text = read_small_file((git / "commondir").c_str(), O_NOFOLLOW);
  if (!text) {
    return std::nullopt;
  }
  return path_line(*text, git);
}

// "ref:", spaces, "refs/...": a HEAD git accepts (it skips a few more kinds of space than we do)
bool names_a_ref(std::string_view head) {
  if (!head.starts_with("ref:")) {
    return false;
  }
  head.remove_prefix(4);
  const std::size_t start = head.find_first_not_of(' ');
  return start != std::string_view::npos && head.substr(start).starts_with("refs/");
}

// git exports these two to every hook, and neither bears on where the repository or its work tree
// is: the index is read only once the repository is found, the prefix only by aliases.
bool set_by_every_hook(std::string_view name) {
  return name == "GIT_INDEX_FILE" || name == "GIT_PREFIX";
}

// True when `git rev-parse --show-toplevel` run here could only answer with the current directory
// or fail (and a failure falls back to the walk, which finds this same `.git`). Why each check:
// - git's local variables (GIT_DIR, GIT_WORK_TREE, GIT_CONFIG_PARAMETERS, ...) can point it at
//   any repository or work tree, so with any of them set, even empty, git decides; but for the
//   two that git sets in every hook, without which this would never be taken where it matters;
// - discovery stops at the first `.git` that is a repository, so a `.git` directory here ends
//   it, provided git accepts it: a HEAD file naming a ref, `objects` and `refs` it may enter, no
//   `commondir` redirecting those elsewhere than a common directory that has them (git's own
//   test; a HEAD holding a bare object id or a link goes to git). A `.git` file counts for the
//   directory it names (a separate git directory, or a linked work tree's, whose `commondir` names
//   the main repository's); a submodule's has a `core.worktree` and goes to git, as does a `.git`
//   link;
// - the work tree then is the directory holding `.git` unless `core.worktree` says otherwise,
//   which git reads only from the repository's own configuration or what it includes; so a
//   `config` that never spells "worktree" (also `extensions.worktreeConfig`) nor "include", in
//   any case and anywhere, cannot move it. Unreadable or odd configuration goes to git;
// - where git refuses this repository (an unsafe owner, `core.bare`, an unknown format) it
//   answers nothing, and the walk up from here stops at this `.git` again.
bool toplevel_is_here() {
  if (std::any_of(git_local_env.begin(), git_local_env.end(), [](std::string_view name) {
        // the names are NUL-terminated literals
        return !set_by_every_hook(name) && pylon::env_var(name.data()).has_value();
      })) {
    return false;
  }
  return is_plain_top_level(".");
}

}  // namespace

bool is_plain_top_level(const fs::path& dir) {
  const std::optional<fs::path> found = git_dir_here(dir);
  struct stat st {};
  if (!found || ::stat(found->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return false;
  }
  const fs::path& git = *found;
  const std::optional<std::string> head = read_small_file((git / "HEAD").c_str(), O_NOFOLLOW);
  if (!head || !names_a_ref(*head)) {
    return false;
  }
  // a linked work tree's git directory holds its own HEAD and names the common one, which holds
  // the objects, the refs and the configuration
  fs::path common = git;
  if (::lstat((git / "commondir").c_str(), &st) == 0) {
    const std::optional<fs::path> named = named_common_dir(git);
    if (!named) {
      return false;
    }
    common = *named;
  } else if (errno != ENOENT) {
    return false;
  }
  for (const fs::path& sub : {common / "objects", common / "refs"}) {
    if (::stat(sub.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(sub.c_str(), X_OK) != 0) {
      return false;
    }
  }
  if (common != git && (::lstat((common / "commondir").c_str(), &st) == 0 || errno != ENOENT)) {
    return false;
  }
  const std::optional<std::string> config = read_small_file((common / "config").c_str(), 0);
  return config && !contains_word(*config, "worktree") && !contains_word(*config, "include");
}

Result<std::string, GitFailure> git_query(const fs::path& dir, const std::vector<std::string>& args,
                                          GitEnv env, std::uint64_t seconds) {
  proc::Outcome outcome =
      proc::capture("git", args, dir, seconds,
                    env == GitEnv::WithoutLocal ? std::span<const std::string_view>(git_local_env)
                                                : std::span<const std::string_view>(),
                    true);
  if (!outcome.ok()) {
    return Err{GitFailure{outcome.not_run, outcome.reason()}};
  }
  return std::move(outcome.stdout);
}

std::optional<std::string> git_output(const fs::path& dir, const std::vector<std::string>& args,
                                      GitEnv env, std::uint64_t seconds) {
  auto answer = git_query(dir, args, env, seconds);
  if (!answer) {
    return std::nullopt;
  }
  return std::move(answer.value());
}

std::optional<std::vector<std::string>> split_answers(std::string_view output, std::size_t count) {
  if (static_cast<std::size_t>(std::count(output.begin(), output.end(), '\n')) != count ||
      !output.ends_with('\n')) {
    return std::nullopt;
  }
  std::vector<std::string> answers;
  while (!output.empty()) {
    const std::size_t nl = output.find('\n');
    if (nl == 0) {
      return std::nullopt;
    }
    answers.emplace_back(output.substr(0, nl));
    output.remove_prefix(nl + 1);
  }
  return answers;
}

std::optional<std::string> git_answer(std::string_view output) {
  if (output.ends_with('\n')) {
    output.remove_suffix(1);
  }
  if (output.empty()) {
    return std::nullopt;
  }
  return std::string(output);
}

std::optional<std::string> git_line(const fs::path& dir, const std::vector<std::string>& args,
                                    GitEnv env, std::uint64_t seconds) {
  const auto output = git_output(dir, args, env, seconds);
  return output ? git_answer(*output) : std::nullopt;
}

std::optional<fs::path> git_toplevel(const fs::path& dir) {
  if (auto top = git_line(dir, {"rev-parse", "--show-toplevel"})) {
    return fs::path(*top);
  }
  return walk_up_for_dot_git(dir);
}

std::optional<fs::path> toplevel_here() {
  if (!toplevel_is_here()) {
    return std::nullopt;
  }
  // git prints the work tree as getcwd gives it: the physical path
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  if (ec) {
    return std::nullopt;
  }
  return cwd;
}

std::optional<fs::path> walk_up_for_dot_git(const fs::path& dir) {
  fs::path d = dir;
  for (;;) {
    std::error_code ec;
    if (fs::exists(d / ".git", ec)) {
      return d;
    }
    fs::path parent = d.parent_path();
    if (parent == d) {
      return std::nullopt;  // past "/" or the empty path
    }
    d = std::move(parent);
  }
}

WalkResult find_repos(const fs::path& root, Clock::time_point deadline,
                      const std::function<void()>& entered) {
  WalkResult result;
  std::vector<std::string> found;
  // Pending directories only: a listing is closed before its children are visited.
  std::vector<std::string> stack{root.string()};
  bool is_root = true;
  while (!stack.empty()) {
    const std::string dir = std::move(stack.back());
    stack.pop_back();
    if (Clock::now() >= deadline) {
      result.deadline_expired = true;
      break;
    }
    pylon::UniqueFd fd = open_directory(dir, std::exchange(is_root, false));
    if (!fd) {
      continue;
    }
    if (entered) {
      entered();
    }
    // children go straight onto the stack in listing order, so the last one listed comes next
    for_each_entry(std::move(fd), [&](int dir_fd, const char* entry, unsigned char type) {
      const std::string_view name = entry;
      if (name == "." || name == "..") {
        return;
      }
      if (name == ".git") {
        found.push_back(dir);
        return;
      }
      if (!is_pruned(name) && is_directory_entry(dir_fd, entry, type)) {
        stack.push_back(join(dir, name));
      }
    });
  }
  std::sort(found.begin(), found.end(), path_less);
  found.erase(std::unique(found.begin(), found.end()), found.end());
  result.repos.assign(found.begin(), found.end());
  return result;
}

}  // namespace gitactivity
