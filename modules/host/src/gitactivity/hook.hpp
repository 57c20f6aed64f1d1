#pragma once

#include "gitactivity/repos.hpp"
#include "host_error.hpp"
#include "result.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace gitactivity {

struct Enabled {
  std::optional<std::int64_t> backfilled;  // the last commit's time the marker got, if any
  std::string root;
  std::filesystem::path hook;
  std::filesystem::path marker;
  bool marker_written = true;  // false when the marker was already at least as new
};

// Puts the recorder block into the repository's post-commit hook (once, at the top, after any
// interpreter line), makes the hook executable and moves the marker up to the last commit's time
// (now without one). A hook that already reads so is not rewritten.
Result<Enabled, host::HostError> enable(const std::filesystem::path& repo,
                                        const std::filesystem::path& marker_dir, GitEnv env);
// Removes every recorder block from the hook. The hook path when a block was removed; nothing when
// there was none, and then the hook is not written at all.
Result<std::optional<std::filesystem::path>, host::HostError> disable(
    const std::filesystem::path& repo, GitEnv env);

// The hook text with exactly one current block: a new hook for an absent one.
std::string rewrite_hook(const std::optional<std::string>& existing);
// The text without any block, current or legacy; nothing when it held none or is a compiled
// hook (see read_hook).
std::optional<std::string> strip_hook(std::string_view text);
// The text without any block from a `begin` line to its `end` line; unpaired lines stay.
std::string strip_block(std::string_view text, std::string_view begin, std::string_view end);
// Nothing when a POSIX-family shell runs the hook; otherwise what runs it, as a short text such as
// "python3" or "a compiled program".
std::optional<std::string> foreign_interpreter(std::string_view hook_text);

// The hooks directory git names for `repo`; nothing outside a repository.
std::optional<std::filesystem::path> hooks_dir(const std::filesystem::path& repo, GitEnv env);
// The hook's bytes, whatever their encoding; nothing when there is no hook file; else the reason.
// A compiled hook (no "#!" line, and a NUL or a program's magic number in its first
// pylon::read_limit bytes) may come back as that head only, which foreign_interpreter calls "a
// compiled program" and strip_hook finds no block in; any other hook longer than the limit is an
// error ("larger than 1 MiB").
Result<std::optional<std::string>, std::string> read_hook(const std::filesystem::path& hook);
// enable's refusal of a hook that no shell runs; nothing when the block may go in.
std::optional<host::HostError> refuse_foreign(const std::filesystem::path& hook,
                                              const std::optional<std::string>& existing);
// The failures enable and disable word alike with what would_enable and would_disable answer.
host::HostError not_a_repository(const std::filesystem::path& repo);
host::HostError not_a_repository_to_enable(const std::filesystem::path& repo);
host::HostError no_hooks_dir(std::string_view root);

// What enable and disable would answer, with nothing written: the top level to be enabled, the
// hook a block would be removed from (nothing when there is none), or the same error.
Result<std::string, host::HostError> would_enable(const std::filesystem::path& repo, GitEnv env);
Result<std::optional<std::filesystem::path>, host::HostError> would_disable(
    const std::filesystem::path& repo, GitEnv env);

}  // namespace gitactivity
