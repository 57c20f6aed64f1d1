// emit: whatever value it is given, it prints one line that parses back as the same value.
#include "cli/cli.hpp"
#include "fuzz_support.hpp"
#include "text.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

namespace {

using cli::Json;

Json build(FuzzedDataProvider& in, int depth) {
  switch (in.ConsumeIntegralInRange<int>(0, depth > 0 ? 5 : 3)) {
    case 0:
      return nullptr;
    case 1:
      return in.ConsumeBool();
    case 2:
      if (in.ConsumeBool()) {
        return in.ConsumeIntegral<std::int64_t>();
      }
      return in.ConsumeIntegral<std::uint64_t>();
    case 3:
      return in.ConsumeRandomLengthString(64);
    case 4: {
      Json array = Json::array();
      for (int n = in.ConsumeIntegralInRange<int>(0, 6); n > 0; --n) {
        array.push_back(build(in, depth - 1));
      }
      return array;
    }
    default: {
      Json object = Json::object();
      for (int n = in.ConsumeIntegralInRange<int>(0, 6); n > 0; --n) {
        const std::string key = in.ConsumeRandomLengthString(16);
        object[key] = build(in, depth - 1);
      }
      return object;
    }
  }
}

// The value a reader should get back: every string, keys included, as lossy UTF-8.
Json as_printed(const Json& value) {
  if (value.is_string()) {
    return pylon::lossy_utf8(value.get_ref<const std::string&>());
  }
  if (value.is_array()) {
    Json out = Json::array();
    for (const Json& item : value) {
      out.push_back(as_printed(item));
    }
    return out;
  }
  if (value.is_object()) {
    Json out = Json::object();
    for (const auto& [key, item] : value.items()) {
      out[pylon::lossy_utf8(key)] = as_printed(item);
    }
    return out;
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Json value = build(in, 8);

  std::ostringstream out;
  cli::emit(out, value);
  const std::string line = out.str();
  fuzz::require(!line.empty() && line.back() == '\n', "emit ends its line");
  const std::string text = line.substr(0, line.size() - 1);
  fuzz::require(text.find('\n') == std::string::npos, "emit prints one line");
  fuzz::require(pylon::is_utf8(text), "emit prints UTF-8");

  const Json parsed = Json::parse(text, nullptr, false);
  fuzz::require(!parsed.is_discarded(), "emit prints JSON");
  fuzz::require(parsed == as_printed(value), "emit's JSON reads back as the value");
  return 0;
}
