#include "cli/cli.hpp"

#include <unistd.h>

#include <iostream>
#include <ostream>

#include <nlohmann/json.hpp>

namespace cli {
namespace {

void append_hex(std::string& out, unsigned byte) {
  constexpr char digits[] = "0123456789abcdef";
  out += "\\x";
  out += digits[byte >> 4U];
  out += digits[byte & 0xFU];
}

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t sequence_length(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t length = lead < 0xC2   ? 0
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                             : lead < 0xF5 ? 4
                                           : 0;
  if (length == 0 || text.size() < length) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0U) != 0x80U) {
      return 0;
    }
  }
  return length;
}

}  // namespace

std::string render_json(const Json& value) {
  // compact, UTF-8 as is; a bad byte becomes U+FFFD instead of throwing
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void emit(std::ostream& out, const Json& value) {
  out << render_json(value) + "\n" << std::flush;
}

bool is_terminal(const std::ostream& stream) {
  // a test's stream is never a terminal, whatever the process's own streams are
  return (&stream == &std::cout && ::isatty(STDOUT_FILENO) == 1) ||
         (&stream == &std::cerr && ::isatty(STDERR_FILENO) == 1);
}

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text[0]);
    const std::size_t length = byte >= 0x80 ? sequence_length(text) : 1;
    // a stray byte below 0xA0 is what an 8-bit terminal would take for a C1 control
    if (byte < 0x20 || byte == 0x7F || (length == 0 && byte < 0xA0)) {
      append_hex(out, byte);
    } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0) {
      append_hex(out, static_cast<unsigned char>(text[1]));  // U+0080..U+009F
    } else {
      out.append(text.substr(0, std::max<std::size_t>(length, 1)));
    }
    text.remove_prefix(std::max<std::size_t>(length, 1));
  }
  return out;
}

std::string shown(std::string_view text, const std::ostream& stream) {
  return is_terminal(stream) ? escape_controls(text) : std::string(text);
}

void print_line(std::ostream& out, std::string_view text) {
  if (!is_terminal(out)) {
    out << text << '\n' << std::flush;
    return;
  }
  std::string lines;
  for (std::size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n')) {
    lines += escape_controls(text.substr(0, end)) + '\n';
    text.remove_prefix(end + 1);
  }
  out << lines << escape_controls(text) << '\n' << std::flush;
}

}  // namespace cli
