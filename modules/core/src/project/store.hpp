#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace project::store {

// A path-shaped key split at its leading "-": the root directory and the rest of the key.
struct KeyRoot {
  std::filesystem::path root;
  std::string rest;
};

// For a key that begins with "-": the root "/" and everything after that first "-". Any other
// key (the empty one included) is not a path key.
std::optional<KeyRoot> key_root(std::string_view key);

}  // namespace project::store
