#pragma once

#include "host_error.hpp"
#include "proc/proc.hpp"
#include "result.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace share {

using proc::Output;

// The transfer tool, behind one operation so that the verbs can be run against a double.
class Quaylink {
 public:
  virtual ~Quaylink() = default;
  // Never fails: a missing program, an overrun and a non-zero exit come back in the Outcome.
  virtual proc::Outcome run(const std::vector<std::string>& args, Output output,
                            std::uint64_t deadline_seconds) = 0;
};

// The real tool: one `quaylink` process from PATH per run.
class QuaylinkCli final : public Quaylink {
 public:
  proc::Outcome run(const std::vector<std::string>& args, Output output,
                    std::uint64_t deadline_seconds) override;
};

// A local path as an argument that no program takes for an option: a relative one gets "./" first.
std::string local_path_arg(const std::filesystem::path& path);

// put FILE PEER:/ (the file keeps its name, at the top of the peer's share)
std::vector<std::string> push_args(std::string_view peer, const std::filesystem::path& file);
// get PEER:/NAME DIR
std::vector<std::string> pull_args(std::string_view peer, std::string_view name,
                                   const std::filesystem::path& dir);
// ls PEER:/SUBPATH, without the sub-path's leading slashes
std::vector<std::string> ls_args(std::string_view peer, std::string_view sub_path);

// Success for a clean run; otherwise the message for a missing tool (127) or a failed one.
Result<Unit, host::HostError> check(const proc::Outcome& outcome, std::string_view peer);

}  // namespace share
