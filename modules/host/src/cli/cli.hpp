#pragma once

#include "args.hpp"
#include "host_error.hpp"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace cli {

using host::Args;
using host::HostError;
using host::VerbResult;
using Json = nlohmann::ordered_json;

// The whole program after argument collection: dispatches on the first argument and returns the
// process exit status. Verbs write to `out`; only finish() writes to `err`.
std::int32_t run(const Args& args, std::ostream& out, std::ostream& err);

// Prints a HostError as "pylon-host: {message}" and turns the result into an exit status.
std::int32_t finish(const VerbResult& result, std::ostream& err);

// The help: the usage lines of every verb group's table, the program's flags, the environment.
std::string help_text();
extern const char* const describe_text;
extern const char* const version_text;  // "pylon-host X.Y.Z", from the project's version

// Renders a value as one compact line of JSON (non-ASCII as is, other control characters
// \u00xx) and writes it with a newline. A failed write is ignored.
void emit(std::ostream& out, const Json& value);
std::string render_json(const Json& value);

// True when `stream` is the process's standard output or standard error and that is a terminal.
bool is_terminal(const std::ostream& stream);
// `text` with C0 controls, DEL and C1 controls shown as \xHH, so that a name cannot move the
// cursor or retitle a window; everything else unchanged.
std::string escape_controls(std::string_view text);
// `text` as it may be written to `stream` in human-readable output: escaped on a terminal,
// unchanged elsewhere.
std::string shown(std::string_view text, const std::ostream& stream);
// The printer of human-readable output: `text` shown line by line (its line feeds stay), a line
// feed, then a flush. A failed write is ignored: the exit status stays what the verb made it.
void print_line(std::ostream& out, std::string_view text);

}  // namespace cli
