// The fleet peer registry reader on arbitrary bytes: no crash, no leak, no undefined behaviour,
// and a registry it accepts lists its nodes once each, in byte order.
#include "exec/remote.hpp"
#include "fuzz_support.hpp"

#include <algorithm>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto loaded = exec::remote::PeerConfig::from_json_str(text, "peers.json");
  if (!loaded) {
    fuzz::require(loaded.error().source == "peers.json", "an error names its source");
    fuzz::require(!loaded.error().message().empty(), "an error has a message");
    return 0;
  }
  fuzz::require(loaded.value().source == "peers.json", "the registry keeps its source");
  const std::vector<std::string> nodes = loaded.value().nodes();
  fuzz::require(nodes.size() == loaded.value().peers.size(), "one name per node");
  fuzz::require(
      std::adjacent_find(nodes.begin(), nodes.end(), std::greater_equal<>()) == nodes.end(),
      "node names come strictly ascending");
  return 0;
}
