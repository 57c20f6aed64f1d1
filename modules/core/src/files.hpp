#pragma once

#include "result.hpp"

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace pylon {

// The whole file as bytes. ENOENT and the like come back as the error.
Result<std::string, std::error_code> read_file(const std::filesystem::path& path);

// Replaces the file's whole content so that a crash leaves the old bytes or the new ones, never a
// mix: the text goes to a temporary file beside the target, which then takes its place by rename.
// An existing target keeps its permission bits; a new one gets 0666 less the umask. When the path
// is a symbolic link, the file it points to is replaced and the link stays.
Result<Unit, std::error_code> write_atomic(const std::filesystem::path& path,
                                           std::string_view text);

}  // namespace pylon
