#include "cli/cli.hpp"

#include <ostream>

#include <nlohmann/json.hpp>

namespace cli {

std::string render_json(const Json& value) {
  // compact, UTF-8 as is; a bad byte becomes U+FFFD instead of throwing
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void emit(std::ostream& out, const Json& value) {
  out << render_json(value) + "\n" << std::flush;
}

bool json_mode(const Args& args) {
  return host::has_flag(args, "--json");
}

}  // namespace cli
