#pragma once

#include "host_error.hpp"
#include "result.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace gitactivity {

// The block's one command: what a hook must run to record.
std::string_view recorder_line();
// The hook text with exactly one current block: a new hook for an absent one.
std::string rewrite_hook(const std::optional<std::string>& existing);
// True when the current block stands in the text as enable writes it: its three lines in a row,
// trailing white space and carriage returns aside. A commented-out or edited block is not it.
bool holds_block(std::string_view text);
// True when a line of the text is the recorder's line alone (white space aside), outside a
// block, wherever it stands: the line enable advises adding by hand.
bool holds_advised_line(std::string_view text);
// Where the recorder stands, as far as telling whether git reaches it goes: enable's block where
// enable puts it (first, after any interpreter line), the advised line as the last line that is
// neither blank nor a comment, starts at the margin and has no `exec` or `exit` line above it,
// or anywhere else (in a condition or a function: no reading of the text can tell).
enum class RecorderPlace { None, Top, LastLine, Elsewhere };
RecorderPlace recorder_place(std::string_view text);
// True when the text's first line is an interpreter line ending in a carriage return: the system
// then looks for an interpreter whose name ends in one.
bool interpreter_line_has_cr(std::string_view text);
// True when a legacy block (the recorder's earlier markers) stands in the text.
bool holds_legacy_block(std::string_view text);
// The text without any block, current or legacy, nor the advised line where it is the last line
// run (see recorder_place); nothing when it held none or is a compiled
// hook (see read_hook).
std::optional<std::string> strip_hook(std::string_view text);
// The text without any block from a `begin` line to its `end` line; unpaired lines stay.
std::string strip_block(std::string_view text, std::string_view begin, std::string_view end);
// Nothing when a POSIX-family shell runs the hook; otherwise what runs it, as a short text such as
// "python3" or "a compiled program".
std::optional<std::string> foreign_interpreter(std::string_view hook_text);

// The hook's bytes, whatever their encoding; nothing when there is no hook file; else the reason.
// A compiled hook (no "#!" line, and a NUL or a program's magic number in its first
// pylon::read_limit bytes) may come back as that head only, which foreign_interpreter calls "a
// compiled program" and strip_hook finds no block in; any other hook longer than the limit is an
// error ("larger than 1 MiB").
Result<std::optional<std::string>, std::string> read_hook(const std::filesystem::path& hook);
// enable's refusal of a hook that no shell runs; nothing when the block may go in.
std::optional<host::HostError> refuse_foreign(const std::filesystem::path& hook,
                                              const std::optional<std::string>& existing);

}  // namespace gitactivity
