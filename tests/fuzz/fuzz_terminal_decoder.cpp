// libFuzzer target: the invariants of fuzz_checks::CheckTerminalDecoderInput.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "tests/fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string fault =
      fuzz_checks::CheckTerminalDecoderInput(std::span<const std::uint8_t>(data, size));
  if (!fault.empty()) {
    std::fprintf(stderr, "invariant broken: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
