#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace config::home {

// The fleet home from its three inputs: a non-empty PYLON_HOME as given (not made absolute, not
// tested), else {HOME}/.pylon when that is a directory, else none. Touches nothing.
std::optional<std::filesystem::path> home_base(const std::optional<std::string>& pylon_home,
                                               const std::optional<std::string>& home,
                                               bool dot_pylon_is_dir);

// The same rule fed from the environment and the file system, read afresh on every call.
std::optional<std::filesystem::path> home_base_live();

// The directory of the fleet's settings files: {fleet home}/config, else {HOME}/.config/pylon
// ("." for an unset HOME). Never fails; nothing is created.
std::filesystem::path config_dir();

}  // namespace config::home
