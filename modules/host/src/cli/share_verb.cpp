#include "cli/share_verb.hpp"

#include "cli/verbs.hpp"
#include "env.hpp"
#include "share/quaylink.hpp"
#include "share/settings.hpp"
#include "share/share_dir.hpp"
#include "text.hpp"

#include <filesystem>
#include <ostream>
#include <string_view>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

namespace cli {
namespace {

namespace fs = std::filesystem;
using share::Output;

constexpr std::uint64_t transfer_seconds = 900;
constexpr std::uint64_t listing_seconds = 60;

// What the dispatcher has worked out before it picks a verb.
struct ShareCall {
  const Args& args;
  const std::vector<std::string_view>& positionals;  // the verb first
  bool json;
  const fs::path& dir;
  share::Quaylink& tool;
  std::ostream& out;

  // With --json the tool's progress goes to standard error, so standard output holds only JSON.
  Output live() const { return json ? Output::LiveOnStderr : Output::Live; }
};

// The listing's lines for JSON: split at "\n" (a "\r" before it goes too), blank lines dropped.
Json listing_lines(std::string_view listing) {
  Json lines = Json::array();
  while (!listing.empty()) {
    const std::size_t end = listing.find('\n');
    std::string_view line = listing.substr(0, end);
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    if (!pylon::trim(line).empty()) {
      lines.push_back(std::string(line));
    }
    listing.remove_prefix(end == std::string_view::npos ? listing.size() : end + 1);
  }
  return lines;
}

VerbResult ls_verb(const ShareCall& call) {
  const std::string_view sub_path =
      call.positionals.size() > 1 ? call.positionals[1] : std::string_view{};
  auto peer = peer_for(call.args);
  if (!peer) {
    return Err{peer.error()};
  }
  const proc::Outcome listed =
      call.tool.run(share::ls_args(peer.value(), sub_path), Output::Capture,
                    host::timeout_seconds(call.args, listing_seconds));
  if (auto ok = share::check(listed, peer.value()); !ok) {
    return Err{ok.error()};
  }
  if (call.json) {
    Json result = Json::object();
    result["ok"] = true;
    result["peer"] = peer.value();
    result["path"] = std::string(sub_path);
    result["lines"] = listing_lines(listed.stdout);
    emit(call.out, result);
  } else if (!listed.stdout.empty()) {
    call.out << listed.stdout << '\n';
  }
  return 0;
}

VerbResult dir_verb(const ShareCall& call) {
  const bool opened = host::has_flag(call.args, "--open") && share::open_in_file_manager(call.dir);
  if (call.json) {
    Json result = Json::object();
    result["ok"] = true;
    result["dir"] = pylon::path_text(call.dir);
    result["opened"] = opened;
    emit(call.out, result);
  } else {
    call.out << pylon::path_text(call.dir) << '\n';
  }
  return 0;
}

VerbResult push_verb(const ShareCall& call) {
  if (call.positionals.size() < 2) {
    return Err{HostError::usage("usage: pylon share push <file ...> [--peer NAME]")};
  }
  auto peer = peer_for(call.args);
  if (!peer) {
    return Err{peer.error()};
  }
  const std::uint64_t deadline = host::timeout_seconds(call.args, transfer_seconds);
  Json pushed = Json::array();
  for (std::size_t i = 1; i < call.positionals.size(); ++i) {
    auto file = share::resolve_push_path(call.positionals[i]);
    if (!file) {
      return Err{file.error()};
    }
    call.out.flush();  // our lines so far must reach a pipe before the tool's own output
    const proc::Outcome sent =
        call.tool.run(share::push_args(peer.value(), file.value()), call.live(), deadline);
    if (auto ok = share::check(sent, peer.value()); !ok) {
      return Err{ok.error()};
    }
    pushed.push_back(pylon::path_text(file.value()));
    if (!call.json) {
      call.out << "-> " << peer.value() << "  " << pylon::path_text(file.value().filename())
               << '\n';
    }
  }
  if (call.json) {
    Json result = Json::object();
    result["ok"] = true;
    result["peer"] = peer.value();
    result["pushed"] = std::move(pushed);
    emit(call.out, result);
  }
  return 0;
}

VerbResult pull_verb(const ShareCall& call) {
  const std::string_view name =
      call.positionals.size() > 1 ? call.positionals[1] : std::string_view{};
  if (name.empty()) {
    return Err{HostError::usage("usage: pylon share pull <name>")};
  }
  if (name.front() == '-') {
    const std::string shown(name);
    return Err{HostError::usage("'" + shown +
                                "' starts with '-' and would be parsed as a quaylink option; use "
                                "`./" +
                                shown + "` if the file really is named that")};
  }
  auto peer = peer_for(call.args);
  if (!peer) {
    return Err{peer.error()};
  }
  std::error_code ec;
  fs::create_directories(call.dir, ec);
  if (ec) {
    return Err{HostError::could_not("create", call.dir, ec)};
  }
  call.out.flush();
  const proc::Outcome fetched =
      call.tool.run(share::pull_args(peer.value(), name, call.dir), call.live(),
                    host::timeout_seconds(call.args, transfer_seconds));
  if (auto ok = share::check(fetched, peer.value()); !ok) {
    return Err{ok.error()};
  }
  if (call.json) {
    Json result = Json::object();
    result["ok"] = true;
    result["peer"] = peer.value();
    result["pulled"] = std::string(name);
    result["dir"] = pylon::path_text(call.dir);
    emit(call.out, result);
  } else {
    call.out << "<- " << peer.value() << "  " << name << " -> " << pylon::path_text(call.dir)
             << '\n';
  }
  return 0;
}

VerbResult peer_verb(const ShareCall& call) {
  if (call.positionals.size() > 1) {
    const std::string_view name = call.positionals[1];
    auto config = share::save_peer(name);
    if (!config) {
      return Err{config.error()};
    }
    if (call.json) {
      Json result = Json::object();
      result["ok"] = true;
      result["peer"] = std::string(name);
      result["config"] = pylon::path_text(config.value());
      emit(call.out, result);
    } else {
      call.out << "default share peer = " << name << "  (" << pylon::path_text(config.value())
               << ")\n";
    }
    return 0;
  }
  auto peer = peer_for(call.args);
  if (!peer) {
    return Err{peer.error()};
  }
  if (call.json) {
    Json result = Json::object();
    result["ok"] = true;
    result["peer"] = peer.value();
    emit(call.out, result);
  } else {
    call.out << peer.value() << '\n';
  }
  return 0;
}

}  // namespace

Result<std::string, HostError> peer_for(const Args& args) {
  return share::resolve_peer(host::flag_value(args, "--peer"), pylon::env_text("PYLON_SHARE_PEER"),
                             share::saved_peer(), share::registry_peers());
}

VerbResult share_verb(const Args& args, share::Quaylink& tool, std::ostream& out) {
  const bool json = json_mode(args);
  const std::vector<std::string_view> words = host::positionals(args, {"--peer", "--timeout"});
  const fs::path dir = share::share_dir();
  if (words.empty() || words[0].empty()) {
    return Err{HostError::usage("usage: pylon share push|pull|ls|dir|peer")};
  }
  const ShareCall call{args, words, json, dir, tool, out};
  const std::string_view verb = words[0];
  if (const VerbInfo* info = find_verb(share_verbs(), verb)) {
    if (auto stop = check_verb_args(*info, args, out)) {
      return *stop;
    }
  }
  if (verb == "ls") {
    return ls_verb(call);
  }
  if (verb == "dir") {
    return dir_verb(call);
  }
  if (verb == "push") {
    return push_verb(call);
  }
  if (verb == "pull") {
    return pull_verb(call);
  }
  if (verb == "peer") {
    return peer_verb(call);
  }
  return Err{HostError::usage("unknown share verb '" + std::string(verb) +
                              "'. Expected: push | pull | ls | dir | peer")};
}

}  // namespace cli
