// The share.json reader on arbitrary bytes: it never fails loudly, and a peer it reads is one
// that the writer's file gives back unchanged.
#include "fuzz_support.hpp"
#include "share/settings.hpp"
#include "text.hpp"

#include <string>

#include <nlohmann/json.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> peer = share::saved_peer_from(text);
  if (!peer) {
    return 0;
  }
  fuzz::require(!peer->empty(), "a saved peer is never empty");
  fuzz::require(pylon::is_utf8(*peer), "a saved peer is UTF-8 text");
  // the three lines save_peer writes
  const std::string written = nlohmann::ordered_json{{"peer", *peer}}.dump(2) + "\n";
  fuzz::require(share::saved_peer_from(written) == peer, "a saved peer reads back as itself");
  return 0;
}
