#include "exec/remote.hpp"

#include "files.hpp"
#include "gate.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

namespace {

using exec::remote::PeerConfig;
using exec::remote::PeerConfigError;
using exec::remote::TransportKind;
using pylon::testing::ScopedEnv;
using pylon::testing::TempDir;

std::vector<std::string> nodes_of(std::string_view text) {
  auto config = PeerConfig::from_json_str(text, "peers.json");
  EXPECT_TRUE(config.ok()) << config.error().message();
  return config ? config.value().nodes() : std::vector<std::string>{};
}

}  // namespace

TEST(PeerConfigFromJsonStr, ReadsTheShapesTheFleetWrites) {
  using Names = std::vector<std::string>;
  const std::pair<const char*, Names> cases[] = {
      {"{}", {}},
      {R"({"peers": {}})", {}},
      {R"({"other": 1, "more": {"x": 1, "x": 2}})", {}},
      {R"({"peers": {"b": {}, "a": {"transport": "ssh"}, "c": {"transport": "quaylink"}}})",
       {"a", "b", "c"}},
      {R"({"peers": {"-x": {}, "with space": {}, "a:b": {}, "": {}}})",
       {"", "-x", "a:b", "with space"}},
      {R"([{"mini": ["me@mini", "quaylink"]}])", {"mini"}},
      {"{\"peers\": {\"\xC3\xA9\": {}, \"z\": {}, \"Z\": {}}}", {"Z", "z", "\xC3\xA9"}},  // bytes
      {"[]", {}},
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(nodes_of(text), want);
  }
}

TEST(PeerConfigFromJsonStr, FillsEntriesWithTheirDefaults) {
  auto config = PeerConfig::from_json_str(
      R"({"peers": {"mini": {"transport": "quaylink", "quaylink_code": "m1", "inbox": "in"},
                    "studio": {"host": null, "colour": "red"},
                    "tagged": {"transport": {"quaylink": null}},
                    "listed": ["dev@box"],
                    "full": ["me@box", {"quaylink": null}, "b1", "drop"],
                    "a": {"host": "x"}, "a": {"host": "y"}}})",
      "label");
  ASSERT_TRUE(config.ok()) << config.error().message();
  const auto& peers = config.value().peers;
  EXPECT_EQ(config.value().source, "label");
  EXPECT_EQ(peers.at("mini").transport, TransportKind::quaylink);
  EXPECT_EQ(peers.at("mini").quaylink_code, "m1");
  EXPECT_EQ(peers.at("mini").inbox, "in");
  EXPECT_EQ(peers.at("mini").host, std::nullopt);
  EXPECT_EQ(peers.at("studio").transport, TransportKind::ssh);
  EXPECT_EQ(peers.at("studio").host, std::nullopt);
  EXPECT_EQ(peers.at("tagged").transport, TransportKind::quaylink);
  EXPECT_EQ(peers.at("listed").host, "dev@box");
  EXPECT_EQ(peers.at("listed").transport, TransportKind::ssh);
  EXPECT_EQ(peers.at("full").host, "me@box");
  EXPECT_EQ(peers.at("full").transport, TransportKind::quaylink);
  EXPECT_EQ(peers.at("full").quaylink_code, "b1");
  EXPECT_EQ(peers.at("full").inbox, "drop");
  EXPECT_EQ(peers.at("a").host, "y");  // a node named twice: the later entry wins
}

TEST(PeerConfigFromJsonStr, RefusesWhatIsNotARegistry) {
  for (const char* text : {
           R"({"peers": {"a": {"transport": "rsync"}}})",
           R"({"peers": {"a": {"transport": null}}})",
           R"({"peers": {"a": {"transport": {"ssh": 1}}}})",
           R"({"peers": {"a": {"transport": {"ssh": null, "quaylink": null}}}})",
           R"({"peers": {"a": {"host": 5}}})",
           R"({"peers": {"a": {"host": "x", "host": "y"}}})",
           R"({"peers": {}, "peers": {}})",
           R"({"peers": {}} x)",
           R"({"peers": null})",
           R"({"peers": []})",
           R"({"peers": {"a": 1}})",
           R"({"peers": {"a": ["h", "ssh", null, null, "extra"]}})",
           R"([{}, {}])",
           "\"peers\"",
           "",
       }) {
    SCOPED_TRACE(text);
    auto config = PeerConfig::from_json_str(text, "the/label");
    ASSERT_FALSE(config.ok());
    EXPECT_EQ(config.error().kind, PeerConfigError::Kind::Parse);
    EXPECT_EQ(config.error().source, "the/label");
  }
}

TEST(PeerConfigLoadDefault, FindsTheFileOrReadsAsEmpty) {
  const TempDir tmp;
  const ScopedEnv home("HOME", tmp.path().string());
  const ScopedEnv fleet("PYLON_HOME", std::nullopt);
  {
    const ScopedEnv peers("PYLON_PEERS", std::nullopt);
    auto config = PeerConfig::load_default();
    ASSERT_TRUE(config.ok());
    EXPECT_TRUE(config.value().peers.empty());
    EXPECT_EQ(config.value().source, (tmp.path() / ".config/pylon/peers.json").string());
  }
  for (const std::string& missing : {std::string(), (tmp.path() / "nope.json").string()}) {
    SCOPED_TRACE(missing);
    const ScopedEnv peers("PYLON_PEERS", missing);
    auto config = PeerConfig::load_default();
    ASSERT_FALSE(config.ok());
    EXPECT_EQ(config.error().kind, PeerConfigError::Kind::Read);
  }

  const ScopedEnv peers("PYLON_PEERS", std::nullopt);
  const ScopedEnv fleet_here("PYLON_HOME", (tmp.path() / "fleet").string());
  std::filesystem::create_directories(tmp.path() / "fleet/config");
  ASSERT_TRUE(
      pylon::write_atomic(tmp.path() / "fleet/config/peers.json", R"({"peers": {"m": {}}})"));
  EXPECT_EQ(exec::remote::home_config_path(), tmp.path() / "fleet/config/peers.json");
  auto config = PeerConfig::load_default();
  ASSERT_TRUE(config.ok());
  EXPECT_EQ(config.value().nodes(), std::vector<std::string>{"m"});

  // a path that exists but cannot be read is an error, not an empty registry
  std::filesystem::remove(tmp.path() / "fleet/config/peers.json");
  std::filesystem::create_directory(tmp.path() / "fleet/config/peers.json");
  auto unreadable = PeerConfig::load_default();
  ASSERT_FALSE(unreadable.ok());
  EXPECT_EQ(unreadable.error().kind, PeerConfigError::Kind::Read);
}

TEST(PeerConfigFromPath, RefusesTextThatIsNotUtf8OrOver1MiB) {
  const TempDir tmp;
  const std::string valid = R"({"peers": {"m": {}}})";
  for (const std::string& text : {std::string("{\"peers\": {\"\xFF\": {}}}"),
                                  valid + std::string(pylon::read_limit + 1 - valid.size(), ' ')}) {
    ASSERT_TRUE(pylon::write_atomic(tmp.path() / "p.json", text));
    auto config = PeerConfig::from_path(tmp.path() / "p.json");
    ASSERT_FALSE(config.ok());
    EXPECT_EQ(config.error().kind, PeerConfigError::Kind::Read);
  }
}
