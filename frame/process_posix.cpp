// Arguments and the end of the process on POSIX systems. This file holds
// POSIX code only.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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

void OpenClosedStandardStreams() {
  // Standard output opened for reading only still reads as no console.
  constexpr int kModes[] = {O_RDONLY, O_RDONLY, O_WRONLY};
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", kModes[fd] | O_NOCTTY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

void EndProcess(int status) {
  // An exit status keeps only its low 8 bits here; a failure must not end
  // as a success.
  if (status != 0 && (status & 0xFF) == 0) status = 0xFF;
  std::exit(status);
}

}  // namespace frame::system
