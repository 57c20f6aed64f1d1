#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace pylon {

// The variable's value as set, empty or not and whatever its bytes; nothing when it is unset.
std::optional<std::string> env_var(const char* name);

// The variable's value when it is set, non-empty and valid UTF-8; otherwise nothing, so that a
// caller falls through to its next source as if it were unset.
std::optional<std::string> env_text(const char* name);

// $HOME as set (even empty), "." when it is unset.
std::filesystem::path home_or_dot();

}  // namespace pylon
