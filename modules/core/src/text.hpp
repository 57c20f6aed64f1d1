#pragma once

#include <string>
#include <string_view>

namespace pylon {

// Bytes as UTF-8 text, each invalid sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

bool is_utf8(std::string_view bytes);

// Without Unicode white space at either end; the input must be UTF-8.
std::string_view trim(std::string_view text);
std::string_view trim_end(std::string_view text);

// The code points of the text, each invalid sequence read as U+FFFD.
std::u32string code_points(std::string_view bytes);

// True when the code point is Unicode white space (White_Space property).
bool is_space(char32_t c);

}  // namespace pylon
