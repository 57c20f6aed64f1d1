#include "gitactivity/hook.hpp"

#include "files.hpp"
#include "text.hpp"

#include <algorithm>
#include <iterator>
#include <span>
#include <utility>
#include <vector>

namespace gitactivity {

namespace fs = std::filesystem;
namespace {

using host::HostError;

constexpr std::string_view block_begin = "# >>> pylon git-activity >>>";
constexpr std::string_view block_command =
    "command -v pylon-host >/dev/null 2>&1 && pylon-host git-activity record >/dev/null 2>&1 || "
    "true";
constexpr std::string_view block_end = "# <<< pylon git-activity <<<";
constexpr std::string_view legacy_begin = "# >>> git-activity recorder >>>";
constexpr std::string_view legacy_end = "# <<< git-activity recorder <<<";

// Lines without their endings. Every carriage return before a line feed (or at the very end) goes
// with the ending, so that a normalised text reads back as the same lines.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    while (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    lines.push_back(line);
  }
  return lines;
}

// True when the line is the block's line `delimiter`, trailing white space aside.
bool is_delimiter(std::string_view line, std::string_view delimiter) {
  return pylon::trim_end(line) == delimiter;
}

struct Stripped {
  std::string text;
  bool removed = false;
};

// An end delimiter closes the nearest open begin delimiter above it, and the pair goes with every
// line between. Pairs nest, so that what is left holds no pair at all (every unpaired end delimiter
// comes before every unpaired begin delimiter) and a second pass removes nothing: unpaired
// delimiters are the user's lines like any other.
Stripped strip(std::string_view text, std::string_view begin, std::string_view end) {
  Stripped out;
  out.text.reserve(text.size());
  std::vector<std::size_t> open;  // where each open begin delimiter starts in out.text
  for (const std::string_view line : split_lines(text)) {
    if (is_delimiter(line, begin)) {
      open.push_back(out.text.size());
    } else if (!open.empty() && is_delimiter(line, end)) {
      out.text.resize(open.back());
      open.pop_back();
      out.removed = true;
      continue;
    }
    out.text.append(line);
    out.text.push_back('\n');
  }
  return out;
}

// The recorder's line alone, at the margin or indented.
bool is_advised_line(std::string_view line) {
  const std::size_t start = line.find_first_not_of(" \t");
  return start != std::string_view::npos && is_delimiter(line.substr(start), block_command);
}

// Where the advised line stands as the last line the shell runs, at the margin, with no `exec`
// or `exit` above it; nothing when it does not.
std::optional<std::size_t> last_advised(const std::vector<std::string_view>& lines);

// Without the advised line where it is the last line run: taken from anywhere else (inside a
// condition, say), its removal could leave the user's script broken.
Stripped strip_advised(std::string_view text) {
  const std::vector<std::string_view> lines = split_lines(text);
  const std::optional<std::size_t> advised = last_advised(lines);
  Stripped out;
  out.removed = advised.has_value();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i != advised) {
      out.text.append(lines[i]);
      out.text.push_back('\n');
    }
  }
  return out;
}

Stripped strip_both(std::string_view text) {
  Stripped current = strip(text, block_begin, block_end);
  Stripped legacy = strip(current.text, legacy_begin, legacy_end);
  Stripped advised = strip_advised(legacy.text);
  advised.removed = advised.removed || legacy.removed || current.removed;
  return advised;
}

}  // namespace

std::string_view recorder_line() {
  return block_command;
}

namespace {

std::string block() {
  std::string text;
  for (const std::string_view line : {block_begin, block_command, block_end}) {
    text.append(line);
    text.push_back('\n');
  }
  return text;
}

// The shells that read the block's line as it is written.
constexpr std::string_view posix_shells[] = {"sh",   "bash", "dash", "zsh",    "ksh",
                                             "mksh", "ash",  "yash", "busybox"};

std::string_view base_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t start = line.find_first_not_of(" \t\r", at);
    if (start == std::string_view::npos) {
      break;
    }
    const std::size_t stop = std::min(line.find_first_of(" \t\r", start), line.size());
    out.push_back(line.substr(start, stop - start));
    at = stop;
  }
  return out;
}

std::optional<std::size_t> last_advised(const std::vector<std::string_view>& lines) {
  // the last line a shell runs: neither blank nor a comment, however indented
  const auto last = std::find_if(lines.rbegin(), lines.rend(), [](std::string_view line) {
    const std::size_t start = line.find_first_not_of(" \t");
    return start != std::string_view::npos && line[start] != '#' &&
           !pylon::trim_end(line.substr(start)).empty();
  });
  // a shell that meets `exec` or `exit` before it never comes back to run the last line
  const auto ends_early = [](std::string_view line) {
    const std::vector<std::string_view> argv = words(line);
    return !argv.empty() && (argv[0] == "exec" || argv[0] == "exit");
  };
  if (last == lines.rend() || pylon::trim_end(*last) != block_command ||
      std::any_of(last + 1, lines.rend(), ends_early)) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(lines.rend() - last - 1);
}

// The program `env` runs: its first word that is neither an option nor a NAME=VALUE.
std::optional<std::string_view> env_command(std::span<const std::string_view> args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--") {
      return i + 1 < args.size() ? std::optional{args[i + 1]} : std::nullopt;
    }
    if (arg.starts_with("-S") && arg.size() > 2) {
      return arg.substr(2);  // -Sprogram: the split string starts right after the option
    }
    if (arg == "-u" || arg == "-C" || arg == "-P" || arg == "--unset" || arg == "--chdir") {
      ++i;  // these take the next word as their value
      continue;
    }
    if (arg.starts_with('-') || arg.find('=') != std::string_view::npos) {
      continue;
    }
    return arg;
  }
  return std::nullopt;
}

bool is_compiled(std::string_view text) {
  constexpr std::string_view magics[] = {
      "\x7f\x45\x4c\x46",  // ELF
      "\xfe\xed\xfa\xce", "\xfe\xed\xfa\xcf", "\xce\xfa\xed\xfe", "\xcf\xfa\xed\xfe",
      "\xca\xfe\xba\xbe",  // Mach-O, both byte orders and widths, and universal
  };
  return text.find('\0') != std::string_view::npos ||
         std::any_of(std::begin(magics), std::end(magics),
                     [&](std::string_view magic) { return text.starts_with(magic); });
}

// A hook git runs as a program of its own: no interpreter line, and bytes no shell reads. Such a
// hook is judged, never rewritten, so read_hook may give only its head.
bool is_compiled_hook(std::string_view text) {
  return !text.starts_with("#!") && is_compiled(text);
}

}  // namespace

// The hook's bytes, whatever their encoding: the block is ASCII and every other byte is kept as it
// was. Nothing when there is no hook file.
Result<std::optional<std::string>, std::string> read_hook(const fs::path& hook) {
  auto bytes = pylon::read_head(hook);
  if (!bytes) {
    if (bytes.error() == std::errc::no_such_file_or_directory) {
      return std::optional<std::string>{};
    }
    return Err{pylon::os_text(bytes.error())};
  }
  // a text cut short would be written back short
  if (bytes.value().size() > pylon::read_limit && !is_compiled_hook(bytes.value())) {
    return Err{pylon::os_text(pylon::too_large())};
  }
  return std::optional<std::string>{std::move(bytes).value()};
}

std::optional<std::string> foreign_interpreter(std::string_view hook_text) {
  if (!hook_text.starts_with("#!")) {
    // git hands a hook without an interpreter line to sh, which reads only text
    if (is_compiled_hook(hook_text)) {
      return std::string("a compiled program");
    }
    return std::nullopt;
  }
  const std::string_view line = hook_text.substr(2, hook_text.find('\n') - 2);
  const std::vector<std::string_view> argv = words(line);
  if (argv.empty()) {
    return std::nullopt;  // a bare "#!" falls back to the shell too
  }
  std::string_view program = argv.front();
  if (base_name(program) == "env") {
    const auto command = env_command(std::span(argv).subspan(1));
    if (!command) {
      return std::string("env");
    }
    program = *command;
  }
  const std::string_view name = base_name(program);
  if (std::find(std::begin(posix_shells), std::end(posix_shells), name) != std::end(posix_shells)) {
    return std::nullopt;
  }
  return pylon::lossy_utf8(name.empty() ? program : name);
}

bool holds_block(std::string_view text) {
  const std::vector<std::string_view> lines = split_lines(text);
  for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
    if (is_delimiter(lines[i], block_begin) && is_delimiter(lines[i + 1], block_command) &&
        is_delimiter(lines[i + 2], block_end)) {
      return true;
    }
  }
  return false;
}

bool holds_advised_line(std::string_view text) {
  const Stripped blocks = strip(strip(text, block_begin, block_end).text, legacy_begin, legacy_end);
  const std::vector<std::string_view> lines = split_lines(blocks.text);
  return std::any_of(lines.begin(), lines.end(), is_advised_line);
}

RecorderPlace recorder_place(std::string_view text) {
  const std::vector<std::string_view> lines = split_lines(text);
  const std::size_t first = !lines.empty() && lines[0].starts_with("#!") ? 1 : 0;
  if (first + 2 < lines.size() && is_delimiter(lines[first], block_begin) &&
      is_delimiter(lines[first + 1], block_command) && is_delimiter(lines[first + 2], block_end)) {
    return RecorderPlace::Top;
  }
  if (last_advised(lines)) {
    return RecorderPlace::LastLine;
  }
  return holds_block(text) || holds_advised_line(text) ? RecorderPlace::Elsewhere
                                                       : RecorderPlace::None;
}

bool interpreter_line_has_cr(std::string_view text) {
  if (!text.starts_with("#!")) {
    return false;
  }
  const std::string_view line = text.substr(0, text.find('\n'));
  return line.find('\r') != std::string_view::npos;
}

bool holds_legacy_block(std::string_view text) {
  return strip(text, legacy_begin, legacy_end).removed;
}

std::string strip_block(std::string_view text, std::string_view begin, std::string_view end) {
  return strip(text, begin, end).text;
}

// Absent when the text holds no block at all: a hook without one is not rewritten, not even to
// normalise its line endings.
std::optional<std::string> strip_hook(std::string_view text) {
  if (is_compiled_hook(text)) {
    return std::nullopt;  // enable never puts a block into one, and it may be only the head
  }
  Stripped stripped = strip_both(text);
  if (!stripped.removed) {
    return std::nullopt;
  }
  return std::move(stripped.text);
}

std::string rewrite_hook(const std::optional<std::string>& existing) {
  if (!existing) {
    return "#!/bin/sh\n" + block();
  }
  const std::string rest = strip_both(*existing).text;
  const std::size_t first_end = rest.find('\n');  // every line of `rest` ends with one
  const std::string_view first = std::string_view(rest).substr(0, first_end);
  if (first.starts_with("#!")) {
    return std::string(first) + "\n" + block() + rest.substr(first_end + 1);
  }
  return block() + rest;
}

std::optional<HostError> refuse_foreign(const fs::path& hook,
                                        const std::optional<std::string>& existing) {
  if (!existing) {
    return std::nullopt;
  }
  const auto runner = foreign_interpreter(*existing);
  if (!runner) {
    return std::nullopt;
  }
  return HostError::failure(
      "could not enable git-activity in " + pylon::path_text(hook) + ": it is run by " + *runner +
      ", not by a shell, so it was left unchanged (to record commits from it, have it run the "
      "shell command `" +
      std::string(block_command) + "`)");
}

}  // namespace gitactivity
