#include "share/quaylink.hpp"

#include "text.hpp"

namespace share {

namespace {
const std::string program = "quaylink";
}  // namespace

proc::Outcome QuaylinkCli::run(const std::vector<std::string>& args, Output output,
                               std::uint64_t deadline_seconds) {
  if (output == Output::Capture) {
    proc::Outcome outcome = proc::capture(program, args, std::nullopt, deadline_seconds);
    // the listing without the white space it ends in
    outcome.stdout.resize(pylon::trim_end(outcome.stdout).size());
    return outcome;
  }
  return proc::streaming(program, args, deadline_seconds, output);
}

// Local paths go to the tool as their own bytes: a lossy rendering would name another file.
std::string local_path_arg(const std::filesystem::path& path) {
  if (path.is_relative()) {
    return "./" + path.native();
  }
  return path.native();
}

std::vector<std::string> push_args(std::string_view peer, const std::filesystem::path& file) {
  return {"put", local_path_arg(file), std::string(peer) + ":/"};
}

std::vector<std::string> pull_args(std::string_view peer, std::string_view name,
                                   const std::filesystem::path& dir) {
  return {"get", std::string(peer) + ":/" + std::string(name), local_path_arg(dir)};
}

std::vector<std::string> ls_args(std::string_view peer, std::string_view sub_path) {
  const std::size_t start = sub_path.find_first_not_of('/');
  const std::string_view rest =
      start == std::string_view::npos ? std::string_view{} : sub_path.substr(start);
  return {"ls", std::string(peer) + ":/" + std::string(rest)};
}

Result<Unit, host::HostError> check(const proc::Outcome& outcome, std::string_view peer) {
  if (outcome.ok()) {
    return Unit{};
  }
  if (outcome.overflowed) {
    return Err{host::HostError::failure(outcome.stderr)};  // neither missing nor unpaired
  }
  std::string reason = outcome.reason();
  if (reason.empty()) {
    reason = "exit " + std::to_string(outcome.code);  // a streamed run has its say on the terminal
  }
  if (outcome.code == 127) {
    return Err{host::HostError::failure(
        reason +
        " (install quaylink, or put it on PATH — pylon share wraps it, it is not built in)")};
  }
  const std::string name(peer);
  return Err{host::HostError::failure("quaylink failed talking to peer '" + name + "': " + reason +
                                      " (check `quaylink peers` — is '" + name + "' paired?)")};
}

}  // namespace share
