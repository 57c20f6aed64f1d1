#include "cli/cli.hpp"
#include "proc/proc.hpp"

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);   // a closed pipe must fail a write, not end the process
  proc::forward_ending_signals();  // a killed pylon-host leaves no child running
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int status = cli::run(args, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
