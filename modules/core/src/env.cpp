#include "env.hpp"

#include "text.hpp"

#include <cstdlib>

namespace pylon {

std::optional<std::string> env_var(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

std::optional<std::string> env_text(const char* name) {
  std::optional<std::string> value = env_var(name);
  if (!value || value->empty() || !is_utf8(*value)) {
    return std::nullopt;
  }
  return value;
}

std::filesystem::path home_or_dot() {
  return env_var("HOME").value_or(".");
}

}  // namespace pylon
