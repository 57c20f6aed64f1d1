#pragma once

#include <cstdint>
#include <cstdio>  // first: stdout/stderr may be macros, and every user must see the same spelling
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace proc {

// How one child run ended. code: the exit status; -1 for a signal; 124 when the deadline passed
// (timed_out); 127 when the program could not be started or waited for (message in stderr).
// overflowed: capture killed the child (code -1) for writing more than 64 MiB (message in stderr).
struct Outcome {
  std::string stdout;
  std::string stderr;
  std::int32_t code = 0;
  bool timed_out = false;
  bool overflowed = false;
  bool not_run = false;  // the program could not be started or waited for (spawn_failed)

  bool ok() const { return code == 0 && !timed_out; }
  // The text to explain a failed run: stderr trimmed, else stdout trimmed (possibly empty).
  std::string reason() const;
};

// Runs `program` (searched on PATH, no shell) with its stdin at end of file and both outputs
// collected and decoded as lossy UTF-8, not trimmed. Never blocks past the deadline, never holds
// more than 64 MiB of output (overflowed). The child inherits our environment but for the
// variables named in `unset_env`. `as_bytes` keeps standard output as the child wrote it (paths
// git prints are paths, whatever their encoding); standard error is always decoded.
Outcome capture(const std::string& program, const std::vector<std::string>& args,
                const std::optional<std::filesystem::path>& cwd, std::uint64_t deadline_seconds,
                std::span<const std::string_view> unset_env = {}, bool as_bytes = false);

// Where a child's output goes.
enum class Output {
  Capture,       // collected into the Outcome (capture); nothing reaches the terminal
  Live,          // straight to our standard output and error, as the child writes it (streaming)
  LiveOnStderr,  // live, with the child's standard output joined to our standard error
};

// Runs `program` with stdin from the null device and its outputs on ours, live: LiveOnStderr joins
// its standard output to our standard error, anything else leaves it on ours. Flushes our own
// standard output first so the lines keep their order.
Outcome streaming(const std::string& program, const std::vector<std::string>& args,
                  std::uint64_t deadline_seconds, Output output = Output::Live);

// From the first child or the first temporary file of an atomic rewrite on, SIGTERM, SIGHUP and
// SIGINT (those not ignored) are taken by a thread of their own, which passes the signal on to
// every running child, removes the temporary files and then ends this process by the signal.
// Call it in main before any thread starts; until then, the signals act as usual.
void forward_ending_signals();

// The Outcome of a program that could not be started.
Outcome spawn_failed(const std::string& program, const std::error_code& error);

}  // namespace proc
