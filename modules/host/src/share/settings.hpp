#pragma once

#include "host_error.hpp"
#include "result.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace share {

// {fleet config directory}/share.json; never fails.
std::filesystem::path share_config_path();

// The "peer" of share.json exactly as stored. Absent when the file is missing, unreadable or
// malformed, or holds no peer or an empty one.
std::optional<std::string> saved_peer();
// The same rule on the file's bytes.
std::optional<std::string> saved_peer_from(std::string_view text);

// Validates `name` as given and replaces share.json with a file naming it, atomically. Returns
// the path written.
Result<std::filesystem::path, host::HostError> save_peer(std::string_view name);

// Refuses a name that quaylink could read as an option or as part of a peer:/path address.
Result<Unit, host::HostError> validate_peer(std::string_view name);

// The node names of the fleet registry, ascending; empty when it cannot be loaded.
std::vector<std::string> registry_peers();

// The first of flag, environment and saved peer that is not blank, trimmed; else the single
// registry name. The chosen name is validated.
Result<std::string, host::HostError> resolve_peer(const std::optional<std::string>& flag,
                                                  const std::optional<std::string>& env,
                                                  const std::optional<std::string>& saved,
                                                  const std::vector<std::string>& registry);

}  // namespace share
