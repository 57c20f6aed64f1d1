#include "config/home.hpp"

#include "env.hpp"

#include <system_error>

namespace config::home {

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
  const std::optional<std::string> home = pylon::env_var("HOME");
  bool dot_pylon_is_dir = false;
  if (home) {
    std::error_code ec;  // any error while looking means "not a directory"
    dot_pylon_is_dir = std::filesystem::is_directory(std::filesystem::path(*home) / ".pylon", ec);
  }
  return home_base(pylon::env_var("PYLON_HOME"), home, dot_pylon_is_dir);
}

std::filesystem::path config_dir() {
  if (auto fleet = home_base_live()) {
    return *fleet / "config";
  }
  return pylon::home_or_dot() / ".config" / "pylon";
}

}  // namespace config::home
