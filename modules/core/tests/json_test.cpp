#include "json.hpp"

#include <gtest/gtest.h>

namespace {

bool top_only(const pylon::JsonPath& path) {
  return path.empty();
}

}  // namespace

TEST(ParseJson, RepeatedKeysAreRefusedOnlyWhereTheCallerSays) {
  EXPECT_FALSE(pylon::parse_json(R"({"a": 1, "a": 2})", top_only).ok());
  EXPECT_EQ(pylon::parse_json(R"({"a": 1, "b": {"x": 1}, "a": 2})", top_only).error(),
            "duplicate key \"a\"");

  // below the top the later value wins, here and in nested arrays
  const auto nested =
      pylon::parse_json(R"({"m": {"x": 1, "x": 2}, "l": [{"y": 1, "y": 3}]})", top_only);
  ASSERT_TRUE(nested.ok());
  EXPECT_EQ(nested.value()["m"]["x"], 2);
  EXPECT_EQ(nested.value()["l"][0]["y"], 3);

  // the same key in sibling objects is no repetition
  EXPECT_TRUE(pylon::parse_json(R"([{"a": 1}, {"a": 2}])", [](const auto&) { return true; }).ok());
}

TEST(ParseJson, HandsThePathOfEveryObjectToTheRule) {
  std::vector<pylon::JsonPath> seen;
  const auto parsed =
      pylon::parse_json(R"({"a": [1, {"b": {}}], "c": {}})", [&](const pylon::JsonPath& path) {
        seen.push_back(path);
        return false;
      });
  ASSERT_TRUE(parsed.ok());
  const std::vector<pylon::JsonPath> want = {
      {}, {"a", std::nullopt}, {"a", std::nullopt, "b"}, {"c"}};
  EXPECT_EQ(seen, want);
}

TEST(ParseJson, OnlyWhiteSpaceMayFollowTheDocument) {
  EXPECT_TRUE(pylon::parse_json("{} \n\t\r ", top_only).ok());
  for (const char* text : {"{} x", "{}{}", "", "{", "[1,]"}) {
    SCOPED_TRACE(text);
    const auto parsed = pylon::parse_json(text, top_only);
    ASSERT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error().find("parse error"), std::string::npos) << parsed.error();
  }
}
