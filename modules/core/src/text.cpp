#include "text.hpp"

#include <charconv>
#include <cstdint>
#include <optional>

namespace pylon {
namespace {

struct Decoded {
  char32_t code;  // valid only when ok
  std::size_t length;
  bool ok;
};

// One step of UTF-8 decoding; an invalid sequence consumes its maximal valid prefix (at least one
// byte), so each one turns into exactly one U+FFFD.
Decoded decode_one(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t b0 = byte(i);
  if (b0 < 0x80) {
    return {b0, 1, true};
  }
  std::size_t need = 0;
  char32_t code = 0;
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    code = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    code = b0 & 0x0Fu;
    if (b0 == 0xE0) {
      lo = 0xA0;
    } else if (b0 == 0xED) {
      hi = 0x9F;  // no surrogates
    }
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    code = b0 & 0x07u;
    if (b0 == 0xF0) {
      lo = 0x90;
    } else if (b0 == 0xF4) {
      hi = 0x8F;
    }
  } else {
    return {0, 1, false};
  }
  std::size_t len = 1;
  for (std::size_t k = 0; k < need; ++k) {
    if (i + len >= s.size()) {
      return {0, len, false};
    }
    const std::uint8_t b = byte(i + len);
    if (b < lo || b > hi) {
      return {0, len, false};
    }
    lo = 0x80;
    hi = 0xBF;
    code = (code << 6) | (b & 0x3Fu);
    ++len;
  }
  return {code, len, true};
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t valid_from = 0;  // copied in runs: child output can be megabytes
  for (std::size_t i = 0; i < bytes.size();) {
    const Decoded d = decode_one(bytes, i);
    if (!d.ok) {
      out.append(bytes.substr(valid_from, i - valid_from));
      out.append("\xEF\xBF\xBD");
      valid_from = i + d.length;
    }
    i += d.length;
  }
  out.append(bytes.substr(valid_from));
  return out;
}

std::string path_text(const std::filesystem::path& path) {
  return lossy_utf8(path.native());
}

std::u32string code_points(std::string_view bytes) {
  std::u32string out;
  for (std::size_t i = 0; i < bytes.size();) {
    const Decoded d = decode_one(bytes, i);
    out.push_back(d.ok ? d.code : U'\uFFFD');
    i += d.length;
  }
  return out;
}

bool is_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const Decoded d = decode_one(bytes, i);
    if (!d.ok) {
      return false;
    }
    i += d.length;
  }
  return true;
}

bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_end(std::string_view text) {
  // Walk forward so multi-byte spaces are recognised; remember where the last non-space ended.
  std::size_t keep = 0;
  for (std::size_t i = 0; i < text.size();) {
    const Decoded d = decode_one(text, i);
    i += d.length;
    if (!d.ok || !is_space(d.code)) {
      keep = i;
    }
  }
  return text.substr(0, keep);
}

std::string_view trim(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const Decoded d = decode_one(text, start);
    if (!d.ok || !is_space(d.code)) {
      break;
    }
    start += d.length;
  }
  return trim_end(text.substr(start));
}

namespace {

template <class T>
std::optional<T> parse_decimal(std::string_view digits) {
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
    return std::nullopt;  // from_chars would take a sign we did not allow here
  }
  T value{};
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc{} || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  text = trim(text);
  if (text.starts_with('+')) {
    text.remove_prefix(1);
  }
  return parse_decimal<std::uint64_t>(text);
}

std::optional<std::int64_t> parse_i64(std::string_view text) {
  text = trim(text);
  if (text.starts_with('+')) {
    text.remove_prefix(1);
    return parse_decimal<std::int64_t>(text);
  }
  if (text.starts_with('-')) {
    // parse the magnitude with its sign so that the minimum value reads too
    const std::string_view magnitude = text.substr(1);
    if (magnitude.empty() || magnitude.front() < '0' || magnitude.front() > '9') {
      return std::nullopt;
    }
    std::int64_t value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) {
      return std::nullopt;
    }
    return value;
  }
  return parse_decimal<std::int64_t>(text);
}

}  // namespace pylon
