// The frame's life of a program: start-up, banner, action or usage, end
// prompt, and the failure report.
#include "frame/tool_frame.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <utility>

#include "frame/frame_state.h"

namespace frame {
namespace detail {

FrameState& State() {
  static FrameState state;
  return state;
}

void Begin(ConsolePort& console, FilePort& files, std::vector<std::string> arguments) {
  FrameState& state = State();
  state = FrameState{};
  state.console = &console;
  state.files = &files;
  state.arguments = std::move(arguments);

  const ConsoleStart start = console.Start();
  OutputState& out = state.output;
  out.kind = start.kind;
  if (start.sizeKnown && start.size.columns > 0 && start.size.rows > 0) out.size = start.size;
  if (start.cursorKnown) out.position = start.cursor;
  out.position.column = std::clamp(out.position.column, 1, out.size.columns);
  out.position.row = std::clamp(out.position.row, 1, out.size.rows);
  out.rowsFromOutputStart = start.rowsFromOutputStart;
  out.startRow = out.position.row;
}

}  // namespace detail

namespace {

// "Runtime error <code> at 0x<location>", then an empty line. The report
// begins a line of its own, so that a line the action left unfinished
// stays as it was.
void ShowFailureReport(std::uint16_t code, const void* location) {
  if (OutputPosition().column != 1) detail::WriteUnsilenced("\r\n");
  const ConsolePort& console = *detail::State().console;
  std::array<char, 64> line{};
  const int length = std::snprintf(line.data(), line.size(), "Runtime error %u at 0x%08X\r\n\r\n",
                                   static_cast<unsigned>(code),
                                   static_cast<unsigned>(console.CodeOffset(location)));
  detail::WriteUnsilenced(std::string_view(line.data(), static_cast<std::size_t>(length)));
}

}  // namespace

int RunToolOn(const ToolDefinition& tool, ConsolePort& console, FilePort& files,
              std::vector<std::string> arguments) {
  detail::Begin(console, files, std::move(arguments));
  WriteLine(tool.title);
  WriteLine(std::string(tool.title.size(), '-'));
  WriteLine();
  if (ArgumentCount() != 0) {
    tool.action(Argument(1));
  } else {
    for (std::string_view line : tool.usageLines) WriteLine(line);
  }
  return EndPrompt();
}

int EndPrompt() {
  const detail::FailureState failure = detail::State().failure;
  if (failure.code != 0) {
    ShowFailureReport(failure.code, failure.location);
    // A console that closes with the program would take the report with
    // it: there the program waits for a key, showing nothing more.
    if (detail::State().console->OwnsConsole()) ReadKeyCode();
    return failure.code;
  }
  WriteLine();
  WriteLine("Press any key to continue.");
  // Waits for a key, blocking in the system, and discards one code.
  ReadKeyCode();
  return detail::State().exitStatus;
}

void SetExitStatus(int status) {
  int& exitStatus = detail::State().exitStatus;
  if (exitStatus == 0) exitStatus = status;
}

int ArgumentCount() {
  const auto& arguments = detail::State().arguments;
  return arguments.empty() ? 0 : static_cast<int>(arguments.size() - 1);
}

std::string_view Argument(int index) {
  const auto& arguments = detail::State().arguments;
  if (index < 0 || static_cast<std::size_t>(index) >= arguments.size()) return {};
  return arguments[static_cast<std::size_t>(index)];
}

std::uint16_t PendingIoFailure() { return detail::State().failure.code; }

void RaiseIoFailure(std::uint16_t code, const void* location) {
  detail::FailureState& failure = detail::State().failure;
  if (failure.code != 0) return;
  failure.code = code != 0 ? code : 1;
  failure.location = location;
}

std::uint16_t TakePendingIoFailure() {
  detail::FailureState& failure = detail::State().failure;
  return std::exchange(failure, detail::FailureState{}).code;
}

UninterruptedSection::UninterruptedSection() {
  if (ConsolePort* console = detail::State().console) console->HoldInterruptions(true);
}

UninterruptedSection::~UninterruptedSection() {
  if (ConsolePort* console = detail::State().console) console->HoldInterruptions(false);
}

FilePort& TargetFiles() { return *detail::State().files; }

}  // namespace frame
