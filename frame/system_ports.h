// The ports of the system the program runs on, one implementation per
// platform.
#ifndef CNC64_FRAME_SYSTEM_PORTS_H_
#define CNC64_FRAME_SYSTEM_PORTS_H_

#include <string>
#include <vector>

#include "frame/console_port.h"
#include "frame/file_port.h"

namespace frame::system {

/// Opens each standard stream that is closed on the null device (standard
/// output for reading only, so that it still counts as nothing to write
/// to), before anything else is opened, so that no file the program opens
/// takes the place of a standard stream.
void OpenClosedStandardStreams();
/// The console of the running program, or nullptr, after a message on the
/// standard error stream, when there is nothing to write to.
ConsolePort* OpenConsole();
/// The file system.
FilePort& Files();
/// The program's arguments, argument 0 first.
std::vector<std::string> Arguments(int argc, char** argv);
/// Ends the process with `status`; a non-zero status never ends as 0.
[[noreturn]] void EndProcess(int status);

}  // namespace frame::system

#endif  // CNC64_FRAME_SYSTEM_PORTS_H_
