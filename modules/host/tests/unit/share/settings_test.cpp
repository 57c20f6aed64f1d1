#include "share/settings.hpp"

#include "files.hpp"
#include "gate.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

namespace {

using pylon::testing::ScopedEnv;
using pylon::testing::TempDir;
using Opt = std::optional<std::string>;

const std::string not_a_name =
    "' is not a quaylink peer name (no ':', whitespace, or control characters) — see `quaylink "
    "peers`";

// A fleet home of its own, so share.json and peers.json live in a temporary directory.
struct Fleet {
  TempDir tmp;
  ScopedEnv home{"PYLON_HOME", tmp.path().string()};
  ScopedEnv peers{"PYLON_PEERS", std::nullopt};
  std::filesystem::path config() const { return tmp.path() / "config" / "share.json"; }
};

}  // namespace

TEST(ValidatePeer, RefusesOptionsAddressesAndInvisibleCharacters) {
  const std::pair<std::string, std::string> refused[] = {
      {"", "a peer name cannot be empty — try `pylon share peer <name>`"},
      {"-x", "peer '-x' starts with '-' and would be parsed as a quaylink option"},
      {"-a:b", "peer '-a:b' starts with '-' and would be parsed as a quaylink option"},
      {"a:b", "peer 'a:b" + not_a_name},
      {"a b", "peer 'a b" + not_a_name},
      {"a\tb", "peer 'a\tb" + not_a_name},
      {" mini", "peer ' mini" + not_a_name},
      {"mini\x7F", "peer 'mini\x7F" + not_a_name},
      {"mini\xC2\x85", "peer 'mini\xC2\x85" + not_a_name},      // NEL, a C1 control
      {"mini\xC2\x9B", "peer 'mini\xC2\x9B" + not_a_name},      // CSI: a C1 control, not white
      {"a\xE2\x80\x83z", "peer 'a\xE2\x80\x83z" + not_a_name},  // em space
  };
  for (const auto& [name, message] : refused) {
    SCOPED_TRACE(name);
    auto valid = share::validate_peer(name);
    ASSERT_FALSE(valid.ok());
    EXPECT_EQ(valid.error().kind(), host::HostError::Kind::Usage);
    EXPECT_EQ(valid.error().message(), message);
  }
  for (const char* name :
       {"mini", "a/b", "x-", "\"q\"", "back\\slash", "caf\xC3\xA9", "a\xE2\x80\x8Bz"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(share::validate_peer(name).ok());
  }
}

TEST(ResolvePeer, TakesTheFirstNonBlankSourceTrimmed) {
  struct Case {
    Opt flag, env, saved;
    std::vector<std::string> registry;
    std::string want;
  };
  const Case cases[] = {
      {"mini", "studio", "saved", {"reg"}, "mini"},
      {"  mini \t", std::nullopt, std::nullopt, {}, "mini"},
      {"", "studio", "saved", {}, "studio"},
      {"   ", " studio ", "saved", {}, "studio"},
      {std::nullopt, "  ", "\xC2\xA0saved\n", {}, "saved"},
      {std::nullopt, std::nullopt, "", {"only"}, "only"},
      {std::nullopt, std::nullopt, std::nullopt, {"only"}, "only"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    auto peer = share::resolve_peer(c.flag, c.env, c.saved, c.registry);
    ASSERT_TRUE(peer.ok()) << peer.error().message();
    EXPECT_EQ(peer.value(), c.want);
  }
}

TEST(ResolvePeer, ExplainsWhyNoPeerCouldBeChosen) {
  struct Case {
    Opt flag, saved;
    std::vector<std::string> registry;
    host::HostError::Kind kind;
    std::string message;
  };
  const Case cases[] = {
      // a bad higher source is an error even when a lower one is good
      {"a:b", "mini", {}, host::HostError::Kind::Usage, "peer 'a:b" + not_a_name},
      {"-x",
       std::nullopt,
       {},
       host::HostError::Kind::Usage,
       "peer '-x' starts with '-' and would be parsed as a quaylink option"},
      {"a b", std::nullopt, {}, host::HostError::Kind::Usage, "peer 'a b" + not_a_name},
      {std::nullopt,
       std::nullopt,
       {},
       host::HostError::Kind::Failure,
       "no share peer configured — run `pylon share peer <name>` (names come from `quaylink "
       "peers`), or add the host to the fleet with `pylon peer add <node> <user@host>`"},
      {" ",
       std::nullopt,
       {"mini", "studio"},
       host::HostError::Kind::Failure,
       "several peers are registered (mini, studio) and none is the share default — pass "
       "`--peer <name>` or set one with `pylon share peer <name>`"},
      // registry names are not trimmed
      {std::nullopt,
       std::nullopt,
       {" mini"},
       host::HostError::Kind::Usage,
       "peer ' mini" + not_a_name},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    auto peer = share::resolve_peer(c.flag, std::nullopt, c.saved, c.registry);
    ASSERT_FALSE(peer.ok());
    EXPECT_EQ(peer.error().kind(), c.kind);
    EXPECT_EQ(peer.error().message(), c.message);
  }
}

TEST(SavedPeer, ReadsOnlyAUsableStringPeer) {
  const Fleet fleet;
  EXPECT_EQ(share::saved_peer(), std::nullopt);  // no file
  std::filesystem::create_directories(fleet.config().parent_path());
  const std::pair<const char*, Opt> cases[] = {
      {R"({"peer": "mini"})", "mini"},
      {R"({"peer": " mini ", "colour": "red"})", " mini "},
      {R"(["mini"])", "mini"},
      {R"({"peer": ""})", std::nullopt},
      {R"({"peer": null})", std::nullopt},
      {R"({"peer": 5})", std::nullopt},
      {R"({})", std::nullopt},
      {R"({"peer": "a", "peer": "b"})", std::nullopt},
      {R"({"peer": "mini"} x)", std::nullopt},
      {R"({"peer": )", std::nullopt},
      {R"(["mini", "studio"])", std::nullopt},
      {"{\"peer\": \"m\xFF\"}", std::nullopt},
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(pylon::write_atomic(fleet.config(), text));
    EXPECT_EQ(share::saved_peer(), want);
  }
}

TEST(SavePeer, WritesTheThreeLineFileAndReplacesIt) {
  const Fleet fleet;
  auto path = share::save_peer("mini");
  ASSERT_TRUE(path.ok()) << path.error().message();
  EXPECT_EQ(path.value(), fleet.config());
  EXPECT_EQ(pylon::read_file(fleet.config()).value(), "{\n  \"peer\": \"mini\"\n}\n");
  EXPECT_EQ(share::saved_peer(), "mini");

  ASSERT_TRUE(share::save_peer("st\"u\\dio").ok());
  EXPECT_EQ(pylon::read_file(fleet.config()).value(), "{\n  \"peer\": \"st\\\"u\\\\dio\"\n}\n");

  // the name is not trimmed, and a refused one leaves the file as it was
  auto refused = share::save_peer(" mini");
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), host::HostError::Kind::Usage);
  EXPECT_EQ(share::saved_peer(), "st\"u\\dio");
}

TEST(SavePeer, NamesTheDirectoryItCannotCreate) {
  const TempDir tmp;
  ASSERT_TRUE(pylon::write_atomic(tmp.path() / "file", ""));
  const ScopedEnv home("PYLON_HOME", (tmp.path() / "file").string());
  auto path = share::save_peer("mini");
  ASSERT_FALSE(path.ok());
  EXPECT_EQ(path.error().kind(), host::HostError::Kind::Failure);
  EXPECT_TRUE(path.error().message().starts_with(
      host::HostError::could_not("create", tmp.path() / "file/config", "").message()))
      << path.error().message();
}

TEST(RegistryPeers, IsEmptyWhenTheRegistryCannotBeLoaded) {
  const Fleet fleet;
  EXPECT_TRUE(share::registry_peers().empty());
  std::filesystem::create_directories(fleet.tmp.path() / "config");
  ASSERT_TRUE(pylon::write_atomic(fleet.tmp.path() / "config/peers.json",
                                  R"({"peers": {"studio": {}, "mini": {}}})"));
  EXPECT_EQ(share::registry_peers(), (std::vector<std::string>{"mini", "studio"}));
  ASSERT_TRUE(pylon::write_atomic(fleet.tmp.path() / "config/peers.json", "{"));
  EXPECT_TRUE(share::registry_peers().empty());
}
