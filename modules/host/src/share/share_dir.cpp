#include "share/share_dir.hpp"

#include "env.hpp"
#include "proc/proc.hpp"
#include "share/quaylink.hpp"
#include "text.hpp"

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <system_error>

namespace share {

namespace fs = std::filesystem;

fs::path share_dir_from(const std::optional<std::string>& override_dir, const fs::path& home) {
  if (override_dir && !override_dir->empty()) {
    return *override_dir;
  }
  return home / "work" / "quaylink-share";
}

fs::path share_dir() {
  return share_dir_from(pylon::env_text("PYLON_SHARE_DIR"), pylon::home_or_dot());
}

Result<fs::path, host::HostError> resolve_push_path(std::string_view operand) {
  const std::string given(operand);
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(given.c_str(), nullptr),
                                                             &std::free);
  if (!resolved) {
    const std::error_code error = pylon::last_os_error();
    return Err{host::HostError::failure("cannot push " + given + ": " + pylon::os_text(error))};
  }
  fs::path path(resolved.get());
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    const std::string name = pylon::path_text(path.filename());
    return Err{host::HostError::usage(given +
                                      " is a directory — quaylink put moves one file at a time; "
                                      "archive it first (tar czf " +
                                      name + ".tgz " + given + ")")};
  }
  return path;
}

bool open_in_file_manager(const fs::path& dir) {
  for (const char* opener : {"open", "xdg-open"}) {
    if (proc::capture(opener, {local_path_arg(dir)}, std::nullopt, 10).ok()) {
      return true;
    }
  }
  return false;
}

}  // namespace share
