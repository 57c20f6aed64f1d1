#pragma once

#include "result.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace exec::remote {

// How the toolkit reaches a node; "ssh" unless the registry says otherwise.
enum class TransportKind { ssh, quaylink };

// One node of the registry. Only `transport` is interpreted, by other commands of the toolkit.
struct PeerEntry {
  std::optional<std::string> host;  // user@host
  TransportKind transport = TransportKind::ssh;
  std::optional<std::string> quaylink_code;
  std::optional<std::string> inbox;
};

// The document of peers.json.
struct PeerConfigFile {
  std::map<std::string, PeerEntry> peers;
};

struct PeerConfigError {
  enum class Kind { Read, Parse };
  Kind kind;
  std::string source;
  std::error_code os_error;  // Read
  std::string json_error;    // Parse

  std::string message() const;
};

// A registry file larger than this is a Read error (file_too_large), not read at all.
inline constexpr std::int64_t max_registry_bytes = std::int64_t{1} << 20;

// The fleet's peer registry as loaded for one command.
struct PeerConfig {
  std::string source;  // where it was read from (or would have been), for messages
  std::map<std::string, PeerEntry> peers;

  // $PYLON_PEERS (even empty; it must exist), else home_config_path(), where a missing file reads
  // as an empty registry.
  static Result<PeerConfig, PeerConfigError> load_default();
  static Result<PeerConfig, PeerConfigError> from_path(const std::filesystem::path& path);
  static Result<PeerConfig, PeerConfigError> from_json_str(std::string_view text,
                                                           std::string source);

  // Every node name, in ascending byte order.
  std::vector<std::string> nodes() const;
};

// {config::home::config_dir()}/peers.json, regardless of $PYLON_PEERS.
std::filesystem::path home_config_path();

}  // namespace exec::remote
