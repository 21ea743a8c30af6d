// The tool frame: what every program does around its action, and the
// console services and failure code that the actions use.
#ifndef CNC64_FRAME_TOOL_FRAME_H_
#define CNC64_FRAME_TOOL_FRAME_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/console_port.h"
#include "frame/file_port.h"

namespace frame {

/// What a program is: its banner title, its usage lines and its action.
struct ToolDefinition {
  std::string_view title;
  std::vector<std::string_view> usageLines;  ///< one or two lines, in order
  void (*action)(std::string_view firstArgument) = nullptr;
};

/// The whole life of a program on the system's console and file system:
/// banner, action or usage, end prompt, and the end of the process.
[[noreturn]] void RunTool(const ToolDefinition& tool, int argc, char** argv);

/// The same life on the given ports with the given arguments (argument 0
/// first); returns the exit status instead of ending the process.
int RunToolOn(const ToolDefinition& tool, ConsolePort& console, FilePort& files,
              std::vector<std::string> arguments);

/// The end prompt. Returns the exit status: the failure code after the
/// failure report when a failure was pending; otherwise the status that
/// the action set (`SetExitStatus`), 0 when it set none.
int EndPrompt();

/// Sets the exit status of an ordinary end, for an action that reported a
/// refusal of its own on the screen (the open-failure report, a file of
/// the wrong size). The first status set stays.
void SetExitStatus(int status);

// ---- console text output ----------------------------------------------

/// Shows `text` at the output position, without a line end.
void WriteText(std::string_view text);
/// Shows one character at the output position.
void WriteText(char character);
/// Shows `text`, then the line end (13, 10).
void WriteLine(std::string_view text = {});
/// Shows `value` in decimal, "-" before a negative value.
void WriteNumber(std::int32_t value);

/// The output position and the screen size, as the output rules keep them.
CellPosition OutputPosition();
ScreenSize ConsoleScreenSize();
/// How many rows above the screen's first row the tool's output began
/// (counting scrolls since): 0 on a console with a screen buffer of its own,
/// where rows count from the buffer's top.
int OutputRowOffset();
/// Moves the output position and the visible cursor to `at`, which must lie
/// on the screen. Nothing is drawn.
void MoveOutputPosition(CellPosition at);
/// True where output goes to a screen (not a byte stream).
bool ConsoleIsScreen();

// ---- console key input -------------------------------------------------

/// True when a key code can be read; drops events that do not count as keys.
bool KeyAvailable();
/// Waits for a key and returns one code; a special key gives 0, then its
/// second code.
std::uint8_t ReadKeyCode();
/// Drops a code that is waiting to be read, such as the second code of a
/// special key; true when there was one.
bool DropPendingKeyCode();

// ---- arguments ---------------------------------------------------------

/// The number of arguments after argument 0.
int ArgumentCount();
/// Argument `index`; empty for an index beyond the count.
std::string_view Argument(int index);

// ---- the failure code --------------------------------------------------

/// The process-wide failure code, 0 when no failure is pending.
std::uint16_t PendingIoFailure();
/// Records a refused request; the first failure stays until it is taken.
/// `location` is the code address that made the request.
void RaiseIoFailure(std::uint16_t code, const void* location);
/// Reads the failure code and sets it to 0.
std::uint16_t TakePendingIoFailure();

// ---- interruptions -----------------------------------------------------

/// While an instance lives, an interruption of the program (Ctrl+C, a
/// termination request) waits until it is destroyed, so that a pass over a
/// file is never cut short.
class UninterruptedSection {
 public:
  UninterruptedSection();
  ~UninterruptedSection();
  UninterruptedSection(const UninterruptedSection&) = delete;
  UninterruptedSection& operator=(const UninterruptedSection&) = delete;
};

/// The file port of the running tool.
FilePort& TargetFiles();

}  // namespace frame

#endif  // CNC64_FRAME_TOOL_FRAME_H_
