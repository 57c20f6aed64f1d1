#include "config/home.hpp"

#include <cstdlib>
#include <system_error>

namespace config::home {
namespace {

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

}  // namespace

std::optional<std::filesystem::path> home_base(const std::optional<std::string>& pylon_home,
                                               const std::optional<std::string>& home,
                                               bool dot_pylon_is_dir) {
  if (pylon_home && !pylon_home->empty()) {
    return std::filesystem::path(*pylon_home);
  }
  if (home && dot_pylon_is_dir) {
    return std::filesystem::path(*home) / ".pylon";
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> home_base_live() {
  const std::optional<std::string> home = env("HOME");
  bool dot_pylon_is_dir = false;
  if (home) {
    std::error_code ec;  // any error while looking means "not a directory"
    dot_pylon_is_dir = std::filesystem::is_directory(std::filesystem::path(*home) / ".pylon", ec);
  }
  return home_base(env("PYLON_HOME"), home, dot_pylon_is_dir);
}

}  // namespace config::home
