#pragma once

#include "args.hpp"
#include "host_error.hpp"

#include <cstdint>
#include <iosfwd>
#include <string>
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

extern const char* const help_text;
extern const char* const describe_text;
extern const char* const version_text;  // "pylon-host X.Y.Z", from the project's version

// Renders a value as one compact line of JSON (non-ASCII as is, other control characters
// \u00xx) and writes it with a newline. A failed write is ignored.
void emit(std::ostream& out, const Json& value);
std::string render_json(const Json& value);

// True when any argument is exactly "--json".
bool json_mode(const Args& args);

}  // namespace cli
