#include "json.hpp"

#include <set>
#include <utility>

namespace pylon {

Result<nlohmann::json, std::string> parse_json(
    std::string_view text, const std::function<bool(const JsonPath&)>& unique_keys) {
  struct Open {
    bool object = false;
    bool unique = false;
    std::set<std::string> keys;
    std::optional<std::string> last_key;  // the member being read, while inside an object
  };
  std::vector<Open> open;
  JsonPath path;  // one entry per open container below the document
  std::optional<std::string> repeated;

  const auto on_start = [&](bool object) {
    if (!open.empty()) {
      path.push_back(open.back().object ? open.back().last_key : std::nullopt);
    }
    open.push_back({object, object && unique_keys(path), {}, std::nullopt});
  };
  const auto on_end = [&] {
    open.pop_back();
    if (!path.empty()) {
      path.pop_back();
    }
  };
  const nlohmann::json::parser_callback_t callback =
      [&](int /*depth*/, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        using Event = nlohmann::json::parse_event_t;
        switch (event) {
          case Event::object_start:
            on_start(true);
            break;
          case Event::array_start:
            on_start(false);
            break;
          case Event::object_end:
          case Event::array_end:
            on_end();
            break;
          case Event::key: {
            Open& object = open.back();
            std::string key = parsed.get<std::string>();
            if (object.unique && !object.keys.insert(key).second && !repeated) {
              repeated = key;
            }
            object.last_key = std::move(key);
            break;
          }
          case Event::value:
            break;
        }
        return true;
      };

  nlohmann::json value;
  try {
    value = nlohmann::json::parse(text, callback);
  } catch (const nlohmann::json::exception& e) {
    return Err{std::string(e.what())};
  }
  if (repeated) {
    return Err{"duplicate key " + nlohmann::json(*repeated).dump(
                                      -1, ' ', false, nlohmann::json::error_handler_t::replace)};
  }
  return value;
}

}  // namespace pylon
