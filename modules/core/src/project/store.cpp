#include "project/store.hpp"

namespace project::store {

std::optional<KeyRoot> key_root(std::string_view key) {
  if (!key.starts_with('-')) {
    return std::nullopt;
  }
  return KeyRoot{"/", std::string(key.substr(1))};
}

}  // namespace project::store
