#include "host_error.hpp"

#include "files.hpp"
#include "text.hpp"

namespace host {

HostError HostError::could_not(std::string_view verb, const std::filesystem::path& path,
                               std::string_view reason) {
  std::string message = "could not ";
  message.append(verb).append(" ").append(pylon::path_text(path)).append(": ").append(reason);
  return failure(std::move(message));
}

HostError HostError::could_not(std::string_view verb, const std::filesystem::path& path,
                               const std::error_code& error) {
  if (error == pylon::foreign_link()) {
    // looked up again for the names: the refusal itself happened on descriptors
    if (auto found = pylon::find_foreign_link(path); found && found.value()) {
      return failure(pylon::foreign_link_text(*found.value()));
    }
  }
  return could_not(verb, path, pylon::os_text(error));
}

HostError HostError::could_not(std::string_view verb, const std::filesystem::path& path,
                               const pylon::GateRefusal& refused) {
  if (refused.where.empty() || refused.where == path || refused.error == pylon::foreign_link()) {
    return could_not(verb, path, refused.error);
  }
  return could_not(verb, path, pylon::refusal_text(refused));
}

}  // namespace host
