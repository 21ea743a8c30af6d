// Arguments and the end of the process on POSIX systems. This file holds
// POSIX code only.
#include <cstdlib>
#include <string>
#include <vector>

#include "frame/system_ports.h"

namespace frame::system {

std::vector<std::string> Arguments(int argc, char** argv) {
  // The system hands the arguments over already split.
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
  if (arguments.empty()) arguments.emplace_back();
  return arguments;
}

void EndProcess(int status) {
  // An exit status keeps only its low 8 bits here; a failure must not end
  // as a success.
  if (status != 0 && (status & 0xFF) == 0) status = 0xFF;
  std::exit(status);
}

}  // namespace frame::system
