#include "share/quaylink.hpp"

#include <gtest/gtest.h>

namespace {

using Strings = std::vector<std::string>;

}  // namespace

TEST(QuaylinkArgs, BuildTheThreeCommandLines) {
  EXPECT_EQ(share::push_args("mini", "/tmp/a.txt"), (Strings{"put", "/tmp/a.txt", "mini:/"}));
  EXPECT_EQ(share::push_args("mini", "/tmp/-x"), (Strings{"put", "/tmp/-x", "mini:/"}));
  EXPECT_EQ(share::push_args("mini", "-x"), (Strings{"put", "./-x", "mini:/"}));  // not an option
  // a name that is not UTF-8 reaches the tool byte for byte, so it names the same file
  EXPECT_EQ(share::push_args("mini", "/tmp/b\xFF"), (Strings{"put", "/tmp/b\xFF", "mini:/"}));

  EXPECT_EQ(share::pull_args("mini", "a.txt", "/h/work/quaylink-share"),
            (Strings{"get", "mini:/a.txt", "/h/work/quaylink-share"}));
  EXPECT_EQ(share::pull_args("mini", "/x", "d"), (Strings{"get", "mini://x", "./d"}));
  EXPECT_EQ(share::pull_args("mini", "./-x", "-rf"), (Strings{"get", "mini:/./-x", "./-rf"}));

  const std::pair<const char*, const char*> listings[] = {
      {"", "mini:/"},
      {"/", "mini:/"},
      {"///", "mini:/"},
      {"docs", "mini:/docs"},
      {"/docs/x", "mini:/docs/x"},
      {"//a/b/", "mini:/a/b/"},
  };
  for (const auto& [sub_path, address] : listings) {
    SCOPED_TRACE(sub_path);
    EXPECT_EQ(share::ls_args("mini", sub_path), (Strings{"ls", address}));
  }
}

TEST(Check, TurnsAFailedRunIntoItsMessage) {
  const std::string paired = " (check `quaylink peers` — is 'mini' paired?)";
  const std::string install =
      " (install quaylink, or put it on PATH — pylon share wraps it, it is not built in)";
  const std::pair<proc::Outcome, std::string> failed[] = {
      {{"", "", 1, false}, "quaylink failed talking to peer 'mini': exit 1" + paired},
      {{"", "  no such peer \n", 2, false},
       "quaylink failed talking to peer 'mini': no such peer" + paired},
      {{"only stdout ", "", 3, false},
       "quaylink failed talking to peer 'mini': only stdout" + paired},
      {{"", "", -1, false}, "quaylink failed talking to peer 'mini': exit -1" + paired},
      {{"", "`quaylink` exceeded its 1s deadline and was terminated", 124, true},
       "quaylink failed talking to peer 'mini': `quaylink` exceeded its 1s deadline and was "
       "terminated" +
           paired},
      // the runner's own message, no hint: the tool is neither missing nor unpaired
      {{"", "`quaylink` wrote more than 64 MiB and was terminated", -1, false, true},
       "`quaylink` wrote more than 64 MiB and was terminated"},
      // timed out even though the code reads as success: still a failure
      {{"", "", 0, true}, "quaylink failed talking to peer 'mini': exit 0" + paired},
      {{"", "could not run `quaylink`: No such file or directory (os error 2)", 127, false},
       "could not run `quaylink`: No such file or directory (os error 2)" + install},
      // the tool's own 127 on a live run, with nothing captured
      {{"", "", 127, false}, "exit 127" + install},
  };
  for (const auto& [outcome, message] : failed) {
    SCOPED_TRACE(message);
    auto checked = share::check(outcome, "mini");
    ASSERT_FALSE(checked.ok());
    EXPECT_EQ(checked.error().kind(), host::HostError::Kind::Failure);
    EXPECT_EQ(checked.error().message(), message);
  }
  // what the tool printed never turns a clean exit into a failure
  EXPECT_TRUE(share::check({"", "warning: slow link", 0, false}, "mini").ok());
}
