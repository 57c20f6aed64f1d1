#include "host_error.hpp"

#include <gtest/gtest.h>

TEST(CouldNot, NamesTheVerbThePathAsTextAndTheReason) {
  const host::HostError by_reason =
      host::HostError::could_not("chmod +x", "/srv/a\xFF/hook", "not a regular file");
  EXPECT_EQ(by_reason.message(), "could not chmod +x /srv/a\xEF\xBF\xBD/hook: not a regular file");
  EXPECT_EQ(by_reason.kind(), host::HostError::Kind::Failure);

  const host::HostError by_os_error = host::HostError::could_not(
      "write marker in", "m", std::make_error_code(std::errc::no_such_file_or_directory));
  EXPECT_EQ(by_os_error.message(),
            "could not write marker in m: No such file or directory (os error 2)");
}

TEST(CouldNot, NamesWhatTheGateRefusedOnlyWhereItIsAnotherPath) {
  const auto link = pylon::gate_error(pylon::GateRule::Link);
  const std::pair<pylon::GateRefusal, std::string> cases[] = {
      {{link, {}}, "could not write /r/f: a symbolic link, which is not followed"},
      {{link, "/r/f"}, "could not write /r/f: a symbolic link, which is not followed"},
      {{link, "/r/d"}, "could not write /r/f: /r/d: a symbolic link, which is not followed"},
  };
  for (const auto& [refused, want] : cases) {
    EXPECT_EQ(host::HostError::could_not("write", "/r/f", refused).message(), want);
  }
}
