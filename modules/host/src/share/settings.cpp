#include "share/settings.hpp"

#include "config/home.hpp"
#include "exec/remote.hpp"
#include "files.hpp"
#include "gate.hpp"
#include "json.hpp"
#include "text.hpp"

#include <system_error>

#include <nlohmann/json.hpp>

namespace share {
namespace {

namespace fs = std::filesystem;
using host::HostError;

bool is_control(char32_t c) {
  return c <= 0x1F || (c >= 0x7F && c <= 0x9F);
}

// The peer held by share.json text; absent for anything but a string (object or one-element
// array form).
std::optional<std::string> peer_in(std::string_view text) {
  auto document = pylon::parse_json(text, [](const pylon::JsonPath& path) { return path.empty(); });
  if (!document) {
    return std::nullopt;
  }
  const nlohmann::json& value = document.value();
  const nlohmann::json* peer = nullptr;
  if (value.is_object()) {
    if (auto it = value.find("peer"); it != value.end()) {
      peer = &*it;
    }
  } else if (value.is_array() && value.size() == 1) {
    peer = &value[0];
  }
  if (!peer || !peer->is_string()) {
    return std::nullopt;
  }
  return peer->get<std::string>();
}

}  // namespace

fs::path share_config_path() {
  return config::home::config_dir() / "share.json";
}

std::optional<std::string> saved_peer() {
  auto text = pylon::read_file(share_config_path());
  if (!text) {
    return std::nullopt;
  }
  return saved_peer_from(text.value());
}

std::optional<std::string> saved_peer_from(std::string_view text) {
  if (!pylon::is_utf8(text)) {
    return std::nullopt;
  }
  auto peer = peer_in(text);
  if (!peer || peer->empty()) {
    return std::nullopt;
  }
  return peer;
}

Result<fs::path, HostError> save_peer(std::string_view name) {
  if (auto valid = validate_peer(name); !valid) {
    return Err{valid.error()};
  }
  fs::path path = share_config_path();
  const fs::path dir = path.parent_path();
  pylon::Write make;
  make.action = pylon::WriteAction::MakeDirs;
  make.root = dir;
  if (auto made = pylon::gate(make); !made) {
    return Err{HostError::could_not("create", dir, made.error())};
  }
  if (!pylon::is_utf8(name)) {
    return Err{HostError::could_not("encode", path, "the peer name is not valid UTF-8")};
  }
  // a file that size was never written here: it is left for its owner to look at
  if (auto old = pylon::read_file(path); !old && old.error() == pylon::too_large()) {
    return Err{HostError::could_not("replace", path, old.error())};
  }
  const std::string text = nlohmann::ordered_json{{"peer", std::string(name)}}.dump(2) + "\n";
  if (auto written = pylon::write_atomic(path, text); !written) {
    return Err{HostError::could_not("write", path, written.error())};
  }
  return path;
}

Result<Unit, HostError> validate_peer(std::string_view name) {
  const std::string shown(name);
  if (name.empty()) {
    return Err{HostError::usage("a peer name cannot be empty — try `pylon share peer <name>`")};
  }
  if (name.front() == '-') {
    return Err{HostError::usage("peer '" + shown +
                                "' starts with '-' and would be parsed as a quaylink option")};
  }
  for (const char32_t c : pylon::code_points(name)) {
    if (c == U':' || pylon::is_space(c) || is_control(c)) {
      return Err{HostError::usage(
          "peer '" + shown +
          "' is not a quaylink peer name (no ':', whitespace, or control characters) — see "
          "`quaylink peers`")};
    }
  }
  return Unit{};
}

std::vector<std::string> registry_peers() {
  auto config = exec::remote::PeerConfig::load_default();
  if (!config) {
    return {};
  }
  return config.value().nodes();
}

Result<std::string, HostError> resolve_peer(const std::optional<std::string>& flag,
                                            const std::optional<std::string>& env,
                                            const std::optional<std::string>& saved,
                                            const std::vector<std::string>& registry) {
  for (const auto* source : {&flag, &env, &saved}) {
    if (!*source) {
      continue;
    }
    const std::string_view trimmed = pylon::trim(**source);
    if (trimmed.empty()) {
      continue;
    }
    if (auto valid = validate_peer(trimmed); !valid) {
      return Err{valid.error()};
    }
    return std::string(trimmed);
  }
  if (registry.empty()) {
    return Err{HostError::failure(
        "no share peer configured — run `pylon share peer <name>` (names come from `quaylink "
        "peers`), or add the host to the fleet with `pylon peer add <node> <user@host>`")};
  }
  if (registry.size() > 1) {
    std::string names;
    for (const std::string& name : registry) {
      names += (names.empty() ? "" : ", ") + name;
    }
    return Err{HostError::failure("several peers are registered (" + names +
                                  ") and none is the share default — pass `--peer <name>` or set "
                                  "one with `pylon share peer <name>`")};
  }
  if (auto valid = validate_peer(registry.front()); !valid) {
    return Err{valid.error()};
  }
  return registry.front();
}

}  // namespace share
