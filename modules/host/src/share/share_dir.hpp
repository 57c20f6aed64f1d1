#pragma once

#include "host_error.hpp"
#include "result.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace share {

// $PYLON_SHARE_DIR when it is UTF-8 and not empty, else ~/work/quaylink-share; never fails.
std::filesystem::path share_dir();
// The rule behind share_dir: a non-empty override verbatim, else home/work/quaylink-share.
std::filesystem::path share_dir_from(const std::optional<std::string>& override_dir,
                                     const std::filesystem::path& home);

// The operand's absolute path with every link followed; a directory is refused (Usage).
Result<std::filesystem::path, host::HostError> resolve_push_path(std::string_view operand);

// Tries `open`, then `xdg-open` (10 s each); true when one of them exited 0.
bool open_in_file_manager(const std::filesystem::path& dir);

}  // namespace share
