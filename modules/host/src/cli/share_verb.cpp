#include "cli/share_verb.hpp"

#include "cli/verbs.hpp"
#include "env.hpp"
#include "gate.hpp"
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
  const host::Parsed& args;                          // only the flags the verb reads
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

// Captured text as it may be shown: line by line, so that its line feeds stay line feeds.
std::string shown_lines(std::string_view text, const std::ostream& out) {
  std::string result;
  while (true) {
    const std::size_t end = text.find('\n');
    result += shown(text.substr(0, end), out);
    if (end == std::string_view::npos) {
      return result;
    }
    result += '\n';
    text.remove_prefix(end + 1);
  }
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
    call.out << shown_lines(listed.stdout, call.out) << '\n';
  }
  return 0;
}

VerbResult dir_verb(const ShareCall& call) {
  const bool opened = call.args.has_flag("--open") && share::open_in_file_manager(call.dir);
  if (call.json) {
    Json result = Json::object();
    result["ok"] = true;
    result["dir"] = pylon::path_text(call.dir);
    result["opened"] = opened;
    emit(call.out, result);
  } else {
    print_line(call.out, pylon::path_text(call.dir));
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
      print_line(call.out, "-> " + peer.value() + "  " + pylon::path_text(file.value().filename()));
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
  pylon::Write make;
  make.action = pylon::WriteAction::MakeDirs;
  make.root = call.dir;
  if (auto made = pylon::gate(make); !made) {
    return Err{HostError::could_not("create", call.dir, made.error())};
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
    print_line(call.out, "<- " + peer.value() + "  " + std::string(name) + " -> " +
                             pylon::path_text(call.dir));
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
      print_line(call.out, "default share peer = " + std::string(name) + "  (" +
                               pylon::path_text(config.value()) + ")");
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
    print_line(call.out, peer.value());
  }
  return 0;
}

VerbResult peers_verb(const ShareCall& call) {
  if (call.positionals.size() > 1) {
    return Err{
        HostError::usage("`share peers` takes no operand (to set the default peer: `pylon "
                         "share peer NAME`)")};
  }
  const std::vector<std::string> peers = share::registry_peers();
  if (call.json) {
    Json result = Json::object();
    result["ok"] = true;
    result["peers"] = peers;
    emit(call.out, result);
  } else {
    for (const std::string& peer : peers) {
      call.out << shown(peer, call.out) << '\n';
    }
  }
  return 0;
}

constexpr VerbRow<ShareCall> table[] = {
    {{"push", "<file ...>", "--peer --json --timeout", "pylon share push <file ...> [--peer NAME]",
      "send file(s) to the peer's share", "send file(s) to the peer's share"},
     push_verb},
    {{"pull", "<name>", "--peer --json --timeout", "pylon share pull <name> [--peer NAME]",
      "fetch a file into the local share", "fetch a file into the local share"},
     pull_verb},
    {{"ls", "[subpath]", "--peer --json --timeout",
      "pylon share ls [subpath] [--peer NAME] [--json]", "list the peer's share",
      "list the peer's share"},
     ls_verb},
    {{"dir", "", "--open --json", "pylon share dir [--open]",
      "print (and optionally open) the local share", "print (and optionally open) the local share"},
     dir_verb},
    {{"peer", "[name]", "--peer --json", "pylon share peer [name]",
      "show or set the default share peer", "show or set the default share peer"},
     peer_verb},
    {{"peers", "", "--json", "pylon share peers [--json]", "the fleet registry's peer names",
      "list the peer names of the fleet registry, one per line"},
     peers_verb},
};

}  // namespace

Result<std::string, HostError> peer_for(const host::Parsed& args) {
  return share::resolve_peer(args.flag_value("--peer"), pylon::env_text("PYLON_SHARE_PEER"),
                             share::saved_peer(), share::registry_peers());
}

const Group& share_group() {
  static const Group group = make_group("share", "pylon share", table);
  return group;
}

VerbResult share_verb(const Args& args, share::Quaylink& tool, std::ostream& out) {
  const fs::path dir = share::share_dir();
  const Dispatch d = dispatch(share_group(), args, out);
  if (d.stop) {
    return *d.stop;
  }
  const auto& row = table[static_cast<std::size_t>(d.verb - share_group().verbs.data())];
  return row.run({d.args, d.args.operands, d.json, dir, tool, out});
}

}  // namespace cli
