// The process-wide records of the frame, shared by its source files only.
#ifndef CNC64_FRAME_FRAME_STATE_H_
#define CNC64_FRAME_FRAME_STATE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "frame/console_port.h"
#include "frame/file_port.h"

namespace frame::detail {

struct OutputState {
  ConsoleKind kind = ConsoleKind::kScreen;
  CellPosition position;
  ScreenSize size;
  bool rowsFromOutputStart = false;
  int startRow = 1;  ///< where output began, moved up by each scroll
};

struct KeyState {
  bool hasPending = false;  ///< a code waits to be read
  std::uint8_t pending = 0;
  bool special = false;    ///< the pending code is a second code: 0 comes first
  bool composing = false;  ///< an Alt + keypad number is under way
  std::uint8_t composed = 0;
};

struct FailureState {
  std::uint16_t code = 0;
  const void* location = nullptr;
};

struct FrameState {
  ConsolePort* console = nullptr;
  FilePort* files = nullptr;
  OutputState output;
  KeyState keys;
  FailureState failure;
  int exitStatus = 0;  ///< of an ordinary end; set by a refusal the action reported
  std::vector<std::string> arguments;
};

FrameState& State();

/// Binds the ports and sets every record to its start value.
void Begin(ConsolePort& console, FilePort& files, std::vector<std::string> arguments);

/// Sends characters through the output rules even while a failure is
/// pending (the failure report), then shows them.
void WriteUnsilenced(std::string_view text);

}  // namespace frame::detail

#endif  // CNC64_FRAME_FRAME_STATE_H_
