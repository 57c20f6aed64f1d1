#pragma once

#include "gate.hpp"
#include "result.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace host {

// The one error of the host: a complete message, and whether the command line (Usage, exit 2) or
// the operation (Failure, exit 1) was at fault.
class HostError {
 public:
  enum class Kind { Usage, Failure };

  static HostError usage(std::string message) { return {Kind::Usage, std::move(message)}; }
  static HostError failure(std::string message) { return {Kind::Failure, std::move(message)}; }
  // The Failure "could not {verb} {path}: {reason}", the path as display text and an OS error
  // rendered by os_text.
  static HostError could_not(std::string_view verb, const std::filesystem::path& path,
                             std::string_view reason);
  // As above; a write refused for a foreign link (pylon::foreign_link) is worded by
  // pylon::foreign_link_text instead, naming the link and its target.
  static HostError could_not(std::string_view verb, const std::filesystem::path& path,
                             const std::error_code& error);

  // As above for a write the gate refused: the path it refused follows `path` where it is
  // another one (a link or a directory on the way, the configuration file that named the place).
  static HostError could_not(std::string_view verb, const std::filesystem::path& path,
                             const pylon::GateRefusal& refused);

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  std::int32_t exit_status() const { return kind_ == Kind::Usage ? 2 : 1; }

 private:
  HostError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
};

using VerbResult = Result<std::int32_t, HostError>;

}  // namespace host
