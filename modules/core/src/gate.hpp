#pragma once

#include "result.hpp"
#include "unique_fd.hpp"

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

// The one way this program changes a file. Every create, rewrite, rename, mode change and removal
// goes through `gate`, which knows the rules for writes, so that a new write path inherits them
// instead of deriving them again (scripts/one-home fails on a write call anywhere else).

namespace pylon {

enum class WriteAction {
  Replace,   // the whole content, by a rename over the old file (write_atomic's promise)
  Create,    // a new file only: EEXIST when the name is taken; the descriptor comes back
  Open,      // a regular file opened for writing as it is, or made (a marker)
  Append,    // opened for appending, made as needed (a journal); the descriptor comes back
  AddExec,   // an execute bit beside each read bit of an existing file (with_exec)
  Remove,    // a regular file taken out
  MakeDirs,  // the target directory, and every missing one between the root and it
  Restrict,  // the mode bits not in `mode` taken away, none added (the root itself, given no
             // target)
};

struct Write {
  WriteAction action = WriteAction::Replace;
  // The write stays below this directory, which the caller has resolved by its own rules (a
  // hooks directory git names, a work tree, a git directory, a marker directory, the state
  // directory): links in its own spelling are followed, none below it.
  std::filesystem::path root;
  // A directory the caller already holds open as the root (then `root` only names it in
  // messages): a walk that listed it removes what it listed there, not what now stands at its path.
  int root_fd = -1;
  // The target, relative to `root` (a plain name, or a path below it); MakeDirs with none makes
  // the root itself, Restrict with none narrows the root's own mode.
  std::filesystem::path target;
  std::string_view text;  // Replace, and Create's content
  mode_t mode = 0666;     // a new file's mode before the umask
  // the mode before the umask of the root, or of a directory on the way, that the gate makes
  // (0700 for a place of the user's alone); the root's parents get 0777, as mkdir -p gives them
  mode_t dir_mode = 0777;
  bool make_root = false;  // the root and its missing parents may be made (mkdir -p)
  bool make_dirs = false;  // the missing directories between the root and the target's
  // The one link followed below the root: the user's own untracked hook that links to a file
  // the same user owns (a dotfiles hook). Only a caller that knows the file is untracked says so.
  bool own_link = false;
  // A configuration file that named the root: refused when someone who may change it could not
  // make this write themselves (judge_config_writer).
  std::optional<std::filesystem::path> named_by;
  bool dry_run = false;  // every check, and nothing written
};

// Why the gate refused, beyond the system's own errors and files.hpp's (not_regular_file,
// other_links, foreign_link).
enum class GateRule {
  Link = 1,    // "a symbolic link, which is not followed"
  OtherOwner,  // "owned by another user"
  Config,      // the configuration file that named the place may be changed by someone else
  BadName,     // "not a single file name"
};
std::error_code gate_error(GateRule rule);

struct GateRefusal {
  std::error_code error;
  std::filesystem::path where;  // the path refused, when it is not the target itself
};

// The target as reached: its directory and, for Create, Open and Append, its descriptor.
struct Gated {
  UniqueFd fd;                // Create, Open, Append (not in a dry run)
  std::filesystem::path dir;  // the directory the target lies in, as reached
  bool existed = false;       // the target was there before
};

// Checks `w` against the rules and, unless it is a dry run, makes the write. A dry run asks the
// same questions of the same walk, so that it refuses what the real run would.
Result<Gated, GateRefusal> gate(const Write& w);

// "{where}: {reason}" or the reason alone: the text a verb puts after its own beginning.
std::string refusal_text(const GateRefusal& refusal);

// True for a string that may name one entry of a directory: not empty, not "." or "..", no "/"
// and no NUL. Names read back from files are checked with it before they reach a path.
bool is_single_name(std::string_view name);

// A file replaced in its own directory, through the user's own link at its name only: for files
// whose directory is the whole of the rule (share.json, and the tests' fixtures).
Result<Unit, std::error_code> write_atomic(const std::filesystem::path& path,
                                           std::string_view text);

}  // namespace pylon
