#include "gitactivity/facts.hpp"

#include "files.hpp"
#include "gitactivity/enable.hpp"
#include "gitactivity/hook.hpp"
#include "gitactivity/markers.hpp"
#include "text.hpp"
#include "unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#elif defined(__APPLE__)
#include <sys/mount.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <string_view>
#include <utility>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

using host::HostError;

using pylon::os_error;

fs::path dir_or_dot(const fs::path& dir) {
  return dir.empty() ? fs::path(".") : dir;
}

// What the kernel says this user (effective ids, as the write will run) may do to `path`.
std::error_code denied(const fs::path& path, int mode, int flags = 0) {
  if (::faccessat(AT_FDCWD, dir_or_dot(path).c_str(), mode, AT_EACCESS | flags) != 0) {
    return pylon::last_os_error();
  }
  return {};
}

std::error_code unwritable(const fs::path& dir) {
  return denied(dir, W_OK | X_OK);
}

Standing standing_of(const struct stat& st) {
  if (S_ISREG(st.st_mode)) {
    return Standing::Regular;
  }
  if (S_ISDIR(st.st_mode)) {
    return Standing::Directory;
  }
  return S_ISLNK(st.st_mode) ? Standing::Link : Standing::Other;
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

// Why the existing file can be neither replaced nor have its mode changed, whoever asks: an
// immutable or append-only file, a read-only mount. Mode bits alone do not count: a rewrite
// replaces the file by a rename in its directory.
std::error_code sealed(const fs::path& file) {
  if (::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0 &&
      (errno == EPERM || errno == EROFS)) {
    return pylon::last_os_error();
  }
#if defined(__linux__) && defined(FS_IOC_GETFLAGS)
  const pylon::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  int flags = 0;
  if (fd && ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
      (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0) {
    return os_error(EPERM);
  }
#endif
  return {};
}

#ifdef __linux__
// File systems whose files the kernel makes up: their modes say nothing of what a write does.
constexpr std::array<std::pair<std::uint32_t, std::string_view>, 11> made_up_file_systems{{
    {0x9fa0, "proc"},
    {0x62656572, "sysfs"},
    {0x27e0eb, "cgroup"},
    {0x63677270, "cgroup2"},
    {0x64626720, "debugfs"},
    {0x74726163, "tracefs"},
    {0x73636673, "securityfs"},
    {0xcafe4a11, "bpf"},
    {0x1cd1, "devpts"},
    {0x6165676c, "pstore"},
    {0xde5e81e4, "efivarfs"},
}};
#endif

// Why the answers about `dir` (or its nearest existing ancestor) cannot promise that a write
// there succeeds, so that only the write can tell; empty when they can.
std::string only_a_write_tells(const fs::path& dir) {
  const fs::path at = nearest_existing(dir);
  std::string_view made_up;
#ifdef __linux__
  struct statfs kind {};
  if (::statfs(at.c_str(), &kind) == 0) {
    for (const auto& [magic, name] : made_up_file_systems) {
      if (static_cast<std::uint32_t>(kind.f_type) == magic) {
        made_up = name;
      }
    }
  }
#elif defined(__APPLE__)
  struct statfs kind {};
  if (::statfs(at.c_str(), &kind) == 0 && std::string_view(kind.f_fstypename) == "devfs") {
    made_up = "devfs";
  }
#endif
  if (!made_up.empty()) {
    return pylon::path_text(at) + " is on " + std::string(made_up) +
           ", a file system whose modes do not say what a write does";
  }
  struct statvfs space {};
  if (::statvfs(at.c_str(), &space) == 0 && ((space.f_blocks != 0 && space.f_bavail == 0) ||
                                             (space.f_files != 0 && space.f_favail == 0))) {
    return "the file system holding " + pylon::path_text(at) + " is full";
  }
  return {};
}

HookSite look_at_hook(fs::path dir) {
  HookSite site;
  site.hook = dir / "post-commit";
  site.dir = std::move(dir);
  struct stat st {};
  site.dir_exists = ::stat(site.dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  site.text = read_hook(site.hook);
  // one walk of the hook's path, as the write will walk it; a walk that fails leaves the
  // question to the write
  const auto walked = pylon::walk_path(site.hook);
  if (walked && walked.value().foreign_link) {
    site.foreign_link = HostError::failure(pylon::foreign_link_text(*walked.value().foreign_link));
  }
  const bool complete = walked && walked.value().complete;
  site.only_a_write_tells = only_a_write_tells(complete ? walked.value().dir : site.dir);
  if (!site.dir_exists) {
    site.dir_error = creation_error(site.dir);
    return site;
  }
  if (!walked) {
    site.write_error = walked.error();
  } else if (!complete) {
    site.write_error = os_error(ENOENT);  // a link to a directory that is not there
  } else {
    // a rewrite puts a new file beside the one the links end at, and renames it over
    site.write_error = unwritable(walked.value().dir);
  }
  if (::stat(site.hook.c_str(), &st) == 0) {
    site.regular = S_ISREG(st.st_mode);
    site.executable = pylon::with_exec(st.st_mode & 07777) == (st.st_mode & 07777);
    site.unreadable_to_owner = (st.st_mode & S_IRUSR) == 0;
    site.exec_error = denied(site.hook, X_OK);
    if (::geteuid() != 0 && st.st_uid != ::geteuid()) {
      site.chmod_error = os_error(EPERM);  // only the owner (or root) may change the mode
    }
    if (const std::error_code seal = sealed(site.hook)) {
      site.chmod_error = seal;
      if (!site.write_error) {
        site.write_error = seal;
      }
    }
  } else {
    site.exec_error = pylon::last_os_error();
  }
  return site;
}

bool has_git_component(const fs::path& path) {
  return std::find(path.begin(), path.end(), fs::path(".git")) != path.end();
}

// True when the team may share the hooks directory: git tracks files in it, asked of whichever
// repository holds it (this work tree, a linked work tree's main one, a submodule, a sibling).
// git tracks nothing inside a git directory, and where git cannot answer for a directory below a
// `.git`, the directory counts as the team's.
bool tracked_by_a_team(const fs::path& hooks) {
  if (has_git_component(hooks)) {
    return false;
  }
  const fs::path base = nearest_existing(hooks);
  const auto listed =
      git_query(base, {"ls-files", "-z", "--", dir_or_dot(hooks.lexically_relative(base)).string()},
                GitEnv::WithoutLocal);
  if (listed) {
    return !listed.value().empty();
  }
  return walk_up_for_dot_git(base).has_value();
}

fs::path absolute_from(const fs::path& repo, const std::string& answer) {
  fs::path path(answer);
  return path.is_absolute() ? path : repo / path;
}

MarkerSlot look_at_marker(const fs::path& marker_dir, const std::string& root) {
  MarkerSlot slot;
  slot.dir = marker_dir;
  slot.name = encode_marker(pylon::lossy_utf8(root));
  slot.path = marker_dir / slot.name;
  const long limit = ::pathconf(nearest_existing(marker_dir).c_str(), _PC_NAME_MAX);
  slot.name_max = limit > 0 ? limit : 255;
  slot.only_a_write_tells = only_a_write_tells(marker_dir);
  struct stat st {};
  if (::stat(marker_dir.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      slot.dir_error = pylon::last_os_error();
      return slot;
    }
    slot.dir_error = creation_error(marker_dir);
    if (::lstat(marker_dir.c_str(), &st) == 0) {
      slot.dir_standing = Standing::Link;  // a link to nowhere
    }
    return slot;
  }
  slot.dir_standing = standing_of(st);
  if (slot.dir_standing != Standing::Directory) {
    slot.dir_error = os_error(ENOTDIR);
    return slot;
  }
  if ((slot.dir_error = denied(marker_dir, X_OK))) {
    return slot;
  }
  if (::lstat(slot.path.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENAMETOOLONG) {  // a name too long is judged by name_max
      slot.dir_error = pylon::last_os_error();
      return slot;
    }
    slot.open_error = unwritable(marker_dir);  // a new marker is a new name in the directory
    return slot;
  }
  slot.standing = standing_of(st);
  if (slot.standing == Standing::Regular) {
    slot.other_links = st.st_nlink > 1;
    slot.mtime = std::max<std::int64_t>(0, static_cast<std::int64_t>(st.st_mtime));
    slot.open_error = denied(slot.path, W_OK);
  }
  return slot;
}

std::string writer_text(pylon::ConfigWriter writer, const pylon::ConfigEvidence& e) {
  switch (writer) {
    case pylon::ConfigWriter::Owner:
      return "its owner (user " + std::to_string(e.owner) + ")";
    case pylon::ConfigWriter::Group:
      return "its group (group " + std::to_string(e.group) + ")";
    case pylon::ConfigWriter::Everyone:
      break;
  }
  return "every user";
}

// Where core.hooksPath is set: the scope ("local", "global", ...) and the file, which is nothing
// for a setting on the command line (the running user's own). git names the repository's own
// file relative to the top level `root`. One git run for both.
struct HooksPathOrigin {
  std::optional<std::string> scope;
  std::optional<fs::path> file;
};
HooksPathOrigin hooks_path_origin(const fs::path& repo, GitEnv env, const std::string& root) {
  HooksPathOrigin origin;
  const auto answer = git_output(
      repo, {"config", "--show-scope", "--show-origin", "-z", "--get", "core.hooksPath"}, env);
  // "scope\0origin\0value\0"
  const std::size_t scope_end = answer ? answer->find('\0') : std::string::npos;
  if (scope_end == std::string::npos) {
    return origin;
  }
  origin.scope = answer->substr(0, scope_end);
  const std::size_t origin_end = answer->find('\0', scope_end + 1);
  const std::string_view said =
      std::string_view(*answer).substr(scope_end + 1, origin_end - scope_end - 1);
  constexpr std::string_view file_origin = "file:";
  if (origin_end == std::string::npos || !said.starts_with(file_origin)) {
    return origin;
  }
  fs::path config(said.substr(file_origin.size()));
  origin.file = config.is_relative() ? fs::path(root) / config : config;
  return origin;
}

// The refusal to write where core.hooksPath points when the file that sets it may be changed by
// someone who could not make the write there themselves: the setting would lend them our rights.
std::optional<HostError> config_refusal(const fs::path& config, const HookSite& site) {
  auto evidence = pylon::config_evidence(config, site.hook);
  if (!evidence) {
    return HostError::could_not("read", config, evidence.error());
  }
  const auto writer = pylon::judge_config_writer(evidence.value());
  if (!writer) {
    return std::nullopt;
  }
  return HostError::failure("will not write " + pylon::path_text(site.hook) +
                            ": core.hooksPath in " + pylon::path_text(config) +
                            " leads there, and " + writer_text(*writer, evidence.value()) +
                            " may change that file but could not write there themselves; make "
                            "the file writable by you alone, or set core.hooksPath in your own "
                            "configuration");
}

// The latest commit's time and how it came (the subject of HEAD's newest reflog entry, which is
// that commit's): one git run where HEAD has a reflog, the time alone otherwise.
void ask_latest_commit_and_how(RepoFacts& facts, const fs::path& repo, GitEnv env) {
  if (const auto line =
          git_line(repo, {"log", "-g", "-1", "--format=%ct %gs", "HEAD", "--"}, env)) {
    const std::size_t space = line->find(' ');
    if (const auto time = pylon::parse_i64(line->substr(0, space))) {
      facts.latest_commit = time;
      facts.reflog_subject = space == std::string::npos ? "" : line->substr(space + 1);
      return;
    }
  }
  facts.latest_commit = latest_commit_time(repo, env);
}

}  // namespace

std::optional<std::int64_t> latest_commit_time(const fs::path& dir, GitEnv env) {
  const auto latest = git_line(dir, {"log", "-1", "--format=%ct"}, env);
  return latest ? pylon::parse_i64(*latest) : std::nullopt;
}

Result<RepoFacts, HostError> gather_repo_facts(const fs::path& repo, GitEnv env,
                                               const fs::path& marker_dir, const HostError& outside,
                                               FactsWanted wanted) {
  // git runs in `repo`: a missing one must not read as a missing git
  std::error_code ec;
  if (!fs::is_directory(repo, ec)) {
    return Err{outside};
  }
  const auto output = git_query(
      repo, {"rev-parse", "--show-toplevel", "--git-common-dir", "--git-path", "hooks"}, env);
  if (!output && output.error().not_run) {
    return Err{HostError::failure(output.error().reason)};
  }
  if (!output && !wanted.hooks_named) {
    return Err{outside};
  }
  // enable asks again one question at a time, to tell a repository from its hooks path
  auto answers = output ? split_answers(output.value(), 3) : std::nullopt;
  if (!answers) {
    // one question at a time: each answer is then one path, whatever it holds
    answers.emplace();
    for (const char* question : {"--show-toplevel", "--git-common-dir", "--git-path"}) {
      std::vector<std::string> args{"rev-parse", question};
      if (std::string_view(question) == "--git-path") {
        args.emplace_back("hooks");
      }
      auto one = git_line(repo, args, env);
      if (!one && wanted.hooks_named && answers->size() == 2) {
        return Err{HostError::failure("could not locate the hooks directory for " +
                                      pylon::path_text((*answers)[0]))};
      }
      if (!one) {
        return Err{outside};
      }
      answers->push_back(std::move(*one));
    }
  }
  RepoFacts facts;
  facts.root = std::move((*answers)[0]);
  facts.git_common_dir = absolute_from(repo, (*answers)[1]);
  facts.hook = look_at_hook(absolute_from(repo, (*answers)[2]));
  const fs::path hooks = canonical_or_same(facts.hook.dir);
  const fs::path common = canonical_or_same(facts.git_common_dir);
  facts.hook.in_git_dir = lies_within(hooks, common);
  facts.hooks_path_set = hooks != common / "hooks";
  // only a set hooks path can lead a write elsewhere than the repository's own directory
  if (facts.hooks_path_set) {
    HooksPathOrigin origin = hooks_path_origin(repo, env, facts.root);
    facts.hooks_path_scope = std::move(origin.scope);
    facts.hook.config = std::move(origin.file);
    if (facts.hook.config) {
      facts.hook.foreign_config = config_refusal(*facts.hook.config, facts.hook);
    }
  }
  const std::optional<std::string> hook_text =
      facts.hook.text ? facts.hook.text.value() : std::optional<std::string>{};
  facts.tools = gather_tool_facts(repo, env, facts.root, facts.hook.dir, facts.git_common_dir,
                                  hook_text, !facts.hook.in_git_dir);
  // the usual hooks directory costs no further git run: git tracks nothing inside a `.git`; a
  // tool's directory in the work tree was asked about with the tool's files
  facts.hook.tracked =
      !facts.hook.in_git_dir &&
      (facts.tools.hooks_dir_tracked ? *facts.tools.hooks_dir_tracked : tracked_by_a_team(hooks));
  facts.marker = look_at_marker(marker_dir, facts.root);
  // an existing marker this user may not write decides enable only by its age
  const bool age_decides =
      facts.marker.standing == Standing::Regular && static_cast<bool>(facts.marker.open_error);
  if (wanted.stale_cause) {
    ask_latest_commit_and_how(facts, repo, env);
  } else if (wanted.latest_commit || age_decides) {
    facts.latest_commit = latest_commit_time(repo, env);
  }
  return facts;
}

}  // namespace gitactivity
