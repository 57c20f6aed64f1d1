#include "project/store.hpp"

#include <gtest/gtest.h>

TEST(KeyRoot, OnlyKeysWithALeadingHyphenArePaths) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"-home-dev-work-app", "home-dev-work-app"},
      {"-home", "home"},
      {"-", ""},
      {"--x", "-x"},  // only the first hyphen is the root
      {"home-dev", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [key, rest] : cases) {
    SCOPED_TRACE(key);
    const auto got = project::store::key_root(key);
    ASSERT_EQ(got.has_value(), rest.has_value());
    if (got) {
      EXPECT_EQ(got->root, "/");
      EXPECT_EQ(got->rest, *rest);
    }
  }
}
