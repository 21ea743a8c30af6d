// RunTool on the system's own console and file system.
#include "frame/system_ports.h"
#include "frame/tool_frame.h"

namespace frame {

void RunTool(const ToolDefinition& tool, int argc, char** argv) {
  system::OpenClosedStandardStreams();
  ConsolePort* console = system::OpenConsole();
  if (console == nullptr) system::EndProcess(1);
  const int status = RunToolOn(tool, *console, system::Files(), system::Arguments(argc, argv));
  console->Restore();
  system::EndProcess(status);
}

}  // namespace frame
