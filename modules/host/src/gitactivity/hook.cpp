#include "files.hpp"
#include "gitactivity/gitactivity.hpp"
#include "text.hpp"

#include <algorithm>
#include <utility>

namespace gitactivity {
namespace {

using host::HostError;

constexpr std::string_view block_begin = "# >>> pylon git-activity >>>";
constexpr std::string_view block_command =
    "command -v pylon-host >/dev/null 2>&1 && pylon-host git-activity record >/dev/null 2>&1 || "
    "true";
constexpr std::string_view block_end = "# <<< pylon git-activity <<<";
constexpr std::string_view legacy_begin = "# >>> git-activity recorder >>>";
constexpr std::string_view legacy_end = "# <<< git-activity recorder <<<";

std::string shown(const fs::path& path) {
  return pylon::lossy_utf8(path.string());
}

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

bool is_marker(std::string_view line, std::string_view marker) {
  return pylon::trim_end(line) == marker;
}

struct Stripped {
  std::string text;
  bool removed = false;
};

// A begin marker counts only with an end marker after it: otherwise it is an ordinary line, and so
// is everything after it.
Stripped strip(std::string_view text, std::string_view begin, std::string_view end) {
  const std::vector<std::string_view> lines = split_lines(text);
  Stripped out;
  out.text.reserve(text.size());
  bool no_end_left = false;
  for (auto it = lines.begin(); it != lines.end(); ++it) {
    if (!no_end_left && is_marker(*it, begin)) {
      const auto close =
          std::find_if(it + 1, lines.end(), [&](std::string_view l) { return is_marker(l, end); });
      if (close != lines.end()) {
        out.removed = true;
        it = close;
        continue;
      }
      no_end_left = true;
    }
    out.text.append(*it);
    out.text.push_back('\n');
  }
  return out;
}

Stripped strip_both(std::string_view text) {
  Stripped current = strip(text, block_begin, block_end);
  Stripped legacy = strip(current.text, legacy_begin, legacy_end);
  legacy.removed = legacy.removed || current.removed;
  return legacy;
}

std::string block() {
  std::string text;
  for (const std::string_view line : {block_begin, block_command, block_end}) {
    text.append(line);
    text.push_back('\n');
  }
  return text;
}

// `git rev-parse --git-path hooks` answers relative to where it ran, which is `repo`.
std::optional<fs::path> hooks_dir(const fs::path& repo) {
  const auto answer = git_line(repo, {"rev-parse", "--git-path", "hooks"});
  if (!answer) {
    return std::nullopt;
  }
  fs::path dir(*answer);
  return dir.is_absolute() ? dir : repo / dir;
}

// The hook as text; nothing when there is no hook file.
Result<std::optional<std::string>, std::string> read_hook(const fs::path& hook) {
  auto bytes = pylon::read_file(hook);
  if (!bytes) {
    if (bytes.error() == std::errc::no_such_file_or_directory) {
      return std::optional<std::string>{};
    }
    return Err{pylon::os_text(bytes.error())};
  }
  if (!pylon::is_utf8(bytes.value())) {
    return Err{std::string("the file is not valid UTF-8 text")};
  }
  return std::optional<std::string>{std::move(bytes).value()};
}

}  // namespace

std::string strip_block(std::string_view text, std::string_view begin, std::string_view end) {
  return strip(text, begin, end).text;
}

// Absent when the text holds no block at all: a hook without one is not rewritten, not even to
// normalise its line endings.
std::optional<std::string> strip_hook(std::string_view text) {
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

Result<Enabled, HostError> enable(const fs::path& repo, const fs::path& marker_dir) {
  const auto root = git_line(repo, {"rev-parse", "--show-toplevel"});
  if (!root) {
    return Err{HostError::failure("not a git repository: " + shown(repo) +
                                  " (run `pylon host git-activity enable <repo>` inside one, or "
                                  "pass its path)")};
  }
  const auto dir = hooks_dir(repo);
  if (!dir) {
    return Err{HostError::failure("could not locate the hooks directory for " + *root)};
  }
  std::error_code ec;
  fs::create_directories(*dir, ec);
  if (ec) {
    return Err{HostError::failure("could not create " + shown(*dir) + ": " + pylon::os_text(ec))};
  }

  const fs::path hook = *dir / "post-commit";
  auto existing = read_hook(hook);
  if (!existing) {
    // never replace a hook we could not read as if it were missing
    return Err{HostError::failure("could not read " + shown(hook) + ": " + existing.error())};
  }
  const std::string text = rewrite_hook(existing.value());
  // a hook that already reads so is left alone: enable-all runs over hundreds of them
  if (existing.value() != text) {
    if (auto written = pylon::write_atomic(hook, text); !written) {
      return Err{HostError::failure("could not write " + shown(hook) + ": " +
                                    pylon::os_text(written.error()))};
    }
  }
  fs::permissions(hook, fs::perms(0755), fs::perm_options::add, ec);
  if (ec) {
    return Err{HostError::failure("could not chmod +x " + shown(hook) + ": " + pylon::os_text(ec))};
  }

  const auto answer = git_line(repo, {"log", "-1", "--format=%ct"});
  const auto backfilled = answer ? pylon::parse_i64(*answer) : std::nullopt;
  auto marker = write_marker(marker_dir, *root, backfilled);
  if (!marker) {
    return Err{HostError::failure("could not write marker in " + shown(marker_dir) + ": " +
                                  pylon::os_text(marker.error()))};
  }
  return Enabled{backfilled, *root, hook, std::move(marker).value()};
}

Result<std::optional<fs::path>, HostError> disable(const fs::path& repo) {
  const auto dir = hooks_dir(repo);
  if (!dir) {
    return Err{HostError::failure("not a git repository: " + shown(repo))};
  }
  const fs::path hook = *dir / "post-commit";
  const auto existing = read_hook(hook);
  if (!existing) {
    // a block may be in what we could not read: saying "not enabled" would be a guess
    return Err{HostError::failure("could not read " + shown(hook) + ": " + existing.error())};
  }
  if (!existing.value()) {
    return std::optional<fs::path>{};
  }
  const auto stripped = strip_hook(*existing.value());
  if (!stripped) {
    return std::optional<fs::path>{};
  }
  if (auto written = pylon::write_atomic(hook, *stripped); !written) {
    return Err{HostError::failure("could not write " + shown(hook) + ": " +
                                  pylon::os_text(written.error()))};
  }
  return std::optional<fs::path>{hook};
}

}  // namespace gitactivity
