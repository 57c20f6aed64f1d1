#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace pylon {

// Bytes as UTF-8 text, each invalid sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// A path as display text: its bytes as lossy UTF-8. Only for messages and JSON; a path handed to
// another program or the file system keeps its own bytes.
std::string path_text(const std::filesystem::path& path);

bool is_utf8(std::string_view bytes);

// Without Unicode white space at either end; the input must be UTF-8.
std::string_view trim(std::string_view text);
std::string_view trim_end(std::string_view text);

// The code points of the text, each invalid sequence read as U+FFFD.
std::u32string code_points(std::string_view bytes);

// True when the code point is Unicode white space (White_Space property).
bool is_space(char32_t c);

// Reads an unsigned decimal with an optional leading '+', white space trimmed; nothing else (no
// '-', no inner spaces, no overflow).
std::optional<std::uint64_t> parse_u64(std::string_view text);

// Reads a signed decimal with an optional leading '+' or '-', white space trimmed; nothing else.
std::optional<std::int64_t> parse_i64(std::string_view text);

}  // namespace pylon
