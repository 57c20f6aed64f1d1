#include "exec/remote.hpp"

#include "config/home.hpp"
#include "env.hpp"
#include "files.hpp"
#include "json.hpp"
#include "text.hpp"

#include <sys/stat.h>

#include <utility>

namespace exec::remote {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

template <class T>
using Decoded = Result<T, std::string>;

// The objects whose keys are field names: the document, each entry and a transport in its
// one-key form. Node names may repeat (the later entry wins), and ignored members are not looked
// into.
bool is_record(const pylon::JsonPath& path) {
  if (path.empty()) {
    return true;
  }
  if (path[0] && *path[0] != "peers") {
    return false;
  }
  switch (path.size()) {
    case 1:
      return false;
    case 2:
      return true;
    case 3:
      return !path[2] || *path[2] == "transport";
    default:
      return false;
  }
}

std::string quoted(const std::string& text) {
  return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

Decoded<std::optional<std::string>> optional_text(const json& value, const std::string& where) {
  if (value.is_null()) {
    return std::optional<std::string>{};
  }
  if (!value.is_string()) {
    return Err{where + ": expected a string or null, found " + value.type_name()};
  }
  return std::optional<std::string>{value.get<std::string>()};
}

Decoded<TransportKind> transport_kind(const json& value, const std::string& where) {
  const auto named = [&](const std::string& name) -> Decoded<TransportKind> {
    if (name == "ssh") {
      return TransportKind::ssh;
    }
    if (name == "quaylink") {
      return TransportKind::quaylink;
    }
    return Err{where + ": unknown transport " + quoted(name) +
               " (expected \"ssh\" or \"quaylink\")"};
  };
  if (value.is_string()) {
    return named(value.get<std::string>());
  }
  // the tagged form: {"quaylink": null}
  if (value.is_object() && value.size() == 1 && value.begin().value().is_null()) {
    return named(value.begin().key());
  }
  return Err{where + ": expected \"ssh\" or \"quaylink\", found " +
             (value.is_object()
                  ? std::string("an object that is not {\"ssh\": null} or {\"quaylink\": null}")
                  : std::string(value.type_name()))};
}

Decoded<PeerEntry> peer_entry(const json& value, const std::string& where) {
  // the fields in declaration order, for the array form
  static const char* const fields[] = {"host", "transport", "quaylink_code", "inbox"};
  const json* given[4] = {};
  if (value.is_object()) {
    for (std::size_t i = 0; i < 4; ++i) {
      if (auto it = value.find(fields[i]); it != value.end()) {
        given[i] = &*it;
      }
    }
  } else if (value.is_array()) {
    if (value.size() > 4) {
      return Err{where + ": an entry has at most 4 values, found " + std::to_string(value.size())};
    }
    for (std::size_t i = 0; i < value.size(); ++i) {
      given[i] = &value[i];
    }
  } else {
    return Err{where + ": expected an object, found " + value.type_name()};
  }

  PeerEntry entry;
  for (const auto& [slot, index] : {std::pair{&entry.host, std::size_t{0}},
                                    {&entry.quaylink_code, std::size_t{2}},
                                    {&entry.inbox, std::size_t{3}}}) {
    if (given[index]) {
      auto text = optional_text(*given[index], where + "." + fields[index]);
      if (!text) {
        return Err{text.error()};
      }
      *slot = std::move(text.value());
    }
  }
  if (given[1]) {
    auto kind = transport_kind(*given[1], where + ".transport");
    if (!kind) {
      return Err{kind.error()};
    }
    entry.transport = kind.value();
  }
  return entry;
}

Decoded<PeerConfigFile> peer_config_file(const json& document) {
  const json* peers = nullptr;
  if (document.is_object()) {
    if (auto it = document.find("peers"); it != document.end()) {
      peers = &*it;
    }
  } else if (document.is_array()) {
    if (document.size() > 1) {
      return Err{"the document has at most 1 value, found " + std::to_string(document.size())};
    }
    if (!document.empty()) {
      peers = &document[0];
    }
  } else {
    return Err{std::string("expected an object, found ") + document.type_name()};
  }

  PeerConfigFile file;
  if (!peers) {
    return file;
  }
  if (!peers->is_object()) {
    return Err{std::string("peers: expected an object, found ") + peers->type_name()};
  }
  for (const auto& [name, value] : peers->items()) {
    auto entry = peer_entry(value, "peers." + name);
    if (!entry) {
      return Err{entry.error()};
    }
    file.peers[name] = std::move(entry.value());
  }
  return file;
}

}  // namespace

std::string PeerConfigError::message() const {
  if (kind == Kind::Read) {
    return "could not read " + source + ": " + pylon::os_text(os_error);
  }
  return "could not parse " + source + ": " + json_error;
}

Result<PeerConfig, PeerConfigError> PeerConfig::load_default() {
  if (auto path = pylon::env_var("PYLON_PEERS")) {
    return from_path(*path);
  }
  const fs::path path = home_config_path();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return PeerConfig{pylon::path_text(path), {}};
  }
  return from_path(path);
}

Result<PeerConfig, PeerConfigError> PeerConfig::from_path(const fs::path& path) {
  std::string source = pylon::path_text(path);
  // a registry of a few machines is a few hundred bytes: a huge file is a mistake, not to be read
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && st.st_size > max_registry_bytes) {
    return Err{PeerConfigError{PeerConfigError::Kind::Read,
                               std::move(source),
                               std::make_error_code(std::errc::file_too_large),
                               {}}};
  }
  auto text = pylon::read_file(path);
  if (!text) {
    return Err{PeerConfigError{PeerConfigError::Kind::Read, std::move(source), text.error(), {}}};
  }
  if (!pylon::is_utf8(text.value())) {
    return Err{PeerConfigError{PeerConfigError::Kind::Read,
                               std::move(source),
                               std::make_error_code(std::errc::illegal_byte_sequence),
                               {}}};
  }
  return from_json_str(text.value(), std::move(source));
}

Result<PeerConfig, PeerConfigError> PeerConfig::from_json_str(std::string_view text,
                                                              std::string source) {
  auto document = pylon::parse_json(text, is_record);
  if (!document) {
    return Err{
        PeerConfigError{PeerConfigError::Kind::Parse, std::move(source), {}, document.error()}};
  }
  auto file = peer_config_file(document.value());
  if (!file) {
    return Err{PeerConfigError{PeerConfigError::Kind::Parse, std::move(source), {}, file.error()}};
  }
  return PeerConfig{std::move(source), std::move(file.value().peers)};
}

std::vector<std::string> PeerConfig::nodes() const {
  std::vector<std::string> names;
  names.reserve(peers.size());
  for (const auto& [name, entry] : peers) {
    names.push_back(name);
  }
  return names;
}

fs::path home_config_path() {
  return config::home::config_dir() / "peers.json";
}

}  // namespace exec::remote
