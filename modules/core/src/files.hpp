#pragma once

#include "result.hpp"

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace pylon {

// The error of a file that is not a regular one (a device, FIFO, socket or directory) where the
// program reads or replaces only regular files. os_text renders it as "not a regular file".
std::error_code not_regular_file();

// The whole file as bytes. ENOENT and the like come back as the error, and so does not_regular_file
// before a byte is read: a FIFO would block and a device might never end.
Result<std::string, std::error_code> read_file(const std::filesystem::path& path);

// Replaces the file's whole content so that a crash leaves the old bytes or the new ones, never a
// mix: the text goes to a temporary file beside the target, which then takes its place by rename.
// An existing target keeps its permission bits, and its owner and group where the process may set
// them; a new one gets 0666 less the umask. When the path is a symbolic link, the file it points to
// is replaced and the link stays. A target that exists but is not a regular file is refused
// (not_regular_file) and nothing is touched. The directory is synced after the rename, so the new
// content survives a power cut once this returns. The temporary file is registered (TempFile) until
// it is renamed or removed, so that a signal ending the program can remove it.
Result<Unit, std::error_code> write_atomic(const std::filesystem::path& path,
                                           std::string_view text);

}  // namespace pylon
