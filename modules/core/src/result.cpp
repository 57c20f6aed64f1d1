#include "result.hpp"

namespace pylon {

std::string os_text(const std::error_code& ec) {
  // our own conditions (such as "not a regular file") carry no number the system would know
  if (ec.category() != std::system_category() && ec.category() != std::generic_category()) {
    return ec.message();
  }
  return ec.message() + " (os error " + std::to_string(ec.value()) + ")";
}

}  // namespace pylon
