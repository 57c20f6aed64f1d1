#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

// A broken property is a crash for libFuzzer, which then keeps the input that broke it.
inline void require(bool holds, const char* property) {
  if (!holds) {
    std::fprintf(stderr, "property does not hold: %s\n", property);
    std::abort();
  }
}

// The input as an argument list: NUL bytes separate the arguments.
inline std::vector<std::string> split_args(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  return args;
}

}  // namespace fuzz
