// The hook text functions, as properties that must hold for every hook a user may have written.
#include "fuzz_support.hpp"
#include "gitactivity/hook.hpp"
#include "text.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view begin = "# >>> pylon git-activity >>>";
constexpr std::string_view end = "# <<< pylon git-activity <<<";
constexpr std::string_view legacy_begin = "# >>> git-activity recorder >>>";
constexpr std::string_view legacy_end = "# <<< git-activity recorder <<<";

// Lines as the hook functions read them: split at line feeds, carriage returns before the line
// feed belong to the line ending.
std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    while (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    lines.emplace_back(line);
  }
  return lines;
}

bool is(std::string_view line, std::string_view marker) {
  return pylon::trim_end(line) == marker;
}

// The lines outside blocks, and how many blocks there were. A block is a begin marker and the next
// end marker with no begin marker between; once one is gone the markers around it may pair in
// turn, so removal repeats until no such pair is left.
std::vector<std::string> outside_blocks(std::vector<std::string> lines, std::string_view open,
                                        std::string_view close, int& blocks) {
  blocks = 0;
  for (bool found = true; found;) {
    found = false;
    std::optional<std::size_t> last_begin;
    for (std::size_t i = 0; i < lines.size() && !found; ++i) {
      if (is(lines[i], open)) {
        last_begin = i;
      } else if (last_begin && is(lines[i], close)) {
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*last_begin),
                    lines.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        ++blocks;
        found = true;
      }
    }
  }
  return lines;
}

// Current blocks go first, then legacy ones among what is left, as enable and disable do.
std::vector<std::string> user_lines(const std::vector<std::string>& lines, int& current,
                                    int& legacy) {
  return outside_blocks(outside_blocks(lines, begin, end, current), legacy_begin, legacy_end,
                        legacy);
}

bool is_subsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  std::size_t at = 0;
  for (const std::string& line : whole) {
    if (at < part.size() && line == part[at]) {
      ++at;
    }
  }
  return at == part.size();
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // an empty input also stands for "no hook file"
  for (const std::optional<std::string>& existing :
       {std::optional<std::string>{input}, size == 0 ? std::nullopt : std::optional{input}}) {
    if (existing && gitactivity::foreign_interpreter(*existing)) {
      continue;  // enable refuses such a hook (a compiled one above all) and never rewrites it
    }
    const std::string result = gitactivity::rewrite_hook(existing);
    fuzz::require(gitactivity::rewrite_hook(result) == result, "rewrite_hook is idempotent");
    fuzz::require(gitactivity::holds_block(result), "status finds the block enable wrote");

    int current = 0;
    int legacy = 0;
    const std::vector<std::string> kept = user_lines(lines_of(result), current, legacy);
    fuzz::require(current == 1 && legacy == 0, "the result holds exactly one block");

    int unused = 0;
    const std::vector<std::string> users =
        user_lines(lines_of(existing.value_or("")), unused, unused);
    fuzz::require(is_subsequence(users, lines_of(result)),
                  "every line outside a block is kept byte for byte, in order");

    const std::optional<std::string> stripped = gitactivity::strip_hook(result);
    fuzz::require(stripped.has_value(), "strip_hook finds the block");
    user_lines(lines_of(*stripped), current, legacy);
    fuzz::require(current == 0, "strip_hook leaves no block");
    if (existing) {
      fuzz::require(*stripped == joined(users), "disable after enable gives back the user's hook");
    }
  }
  return 0;
}
