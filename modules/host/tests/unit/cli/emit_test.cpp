#include "cli/cli.hpp"

#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {
std::string emitted(const cli::Json& value) {
  std::ostringstream out;
  cli::emit(out, value);
  return out.str();
}
}  // namespace

TEST(Emit, CompactInInsertionOrder) {
  EXPECT_EQ(emitted(cli::Json::object()), "{}\n");
  cli::Json v;
  v["ok"] = true;
  v["count"] = 2;
  v["b"] = nullptr;
  v["a"] = cli::Json::array({-3, "x"});
  EXPECT_EQ(emitted(v), "{\"ok\":true,\"count\":2,\"b\":null,\"a\":[-3,\"x\"]}\n");
}

TEST(Emit, EscapesOnlyWhatJsonRequires) {
  const std::pair<std::string, std::string> cases[] = {
      {"tab\t\xC3\xA9", "\"tab\\t\xC3\xA9\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {"\b\f\n\r", "\"\\b\\f\\n\\r\""},
      {std::string("\x01\x1f", 2), "\"\\u0001\\u001f\""},
      {std::string("\0", 1), "\"\\u0000\""},
      {"a/b\x7f", "\"a/b\x7f\""},
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
      {"bad\xFF", "\"bad\xEF\xBF\xBD\""},
  };
  for (const auto& [in, want] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(emitted(cli::Json(in)), want + "\n");
  }
}
