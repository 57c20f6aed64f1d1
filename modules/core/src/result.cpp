#include "result.hpp"

namespace pylon {

std::string os_text(const std::error_code& ec) {
  return ec.message() + " (os error " + std::to_string(ec.value()) + ")";
}

}  // namespace pylon
