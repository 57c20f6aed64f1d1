#pragma once

#include "result.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace pylon {

// Where an object sits in a document: for each enclosing container, the member key that leads
// into it, or nothing when it is an array element. The whole document has the empty path.
using JsonPath = std::vector<std::optional<std::string>>;

// Parses one whole JSON document; only white space may follow it. An object for which
// `unique_keys(path)` holds must not repeat a key (the error names it); any other object keeps
// the later value of a repeated key, as maps keyed by name do. The error is one line of text.
Result<nlohmann::json, std::string> parse_json(
    std::string_view text, const std::function<bool(const JsonPath&)>& unique_keys);

}  // namespace pylon
