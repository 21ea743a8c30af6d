// The console of a Win32 system. This file holds only Win32 code.
//
// Output goes to the console's screen buffer, cell by cell, in the colours
// the console had at start-up, or to a byte stream (a pipe, a file, a
// terminal that is not a console) exactly as the frame hands it over. Input
// comes from the console's input buffer, one input record per event, or
// from a byte stream, one byte per event. Output and input are chosen
// independently. The console's modes are left as they were found: the
// screen buffer calls and ReadConsoleInputW need none, and processed input
// keeps Ctrl+C and Ctrl+Break as interruptions rather than keys. A console
// control handler makes interruptions wait while the frame holds them.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frame/stream_console.h"
#include "frame/system_ports.h"
#include "frame/windows_rules.h"

namespace frame {
namespace {

// The exit code of a program that Ctrl+C or Ctrl+Break ended.
constexpr UINT kControlCExit = 0xC000013A;

constexpr DWORD kWriteChunk = 1u << 20;

// Used where the console's colours cannot be read: grey on black.
constexpr WORD kPlainAttributes = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;

// ---- what the control handler uses ----------------------------------------
// The handler runs on a thread of its own that the system starts for each
// control event.

std::atomic<int> gHoldDepth{0};
// The control event that arrived during a hold, plus 1; 0 when none did.
std::atomic<DWORD> gHeldEvent{0};
// Manual-reset, set while no hold is in force.
HANDLE gHoldEnded = nullptr;

bool IsClosing(DWORD type) {
  return type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
}

BOOL WINAPI OnControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && !IsClosing(type)) return FALSE;
  gHeldEvent.store(type + 1);
  if (gHoldDepth.load() == 0) {
    // No hold, or it ended meanwhile. Whoever takes the event back ends the
    // program: here the system's default handling, or the hold's release.
    return gHeldEvent.exchange(0) != 0 ? FALSE : TRUE;
  }
  if (IsClosing(type)) {
    // The system ends the program once this handler returns, so it waits
    // for the hold to end, within the few seconds the system allows.
    if (gHoldEnded == nullptr || WaitForSingleObject(gHoldEnded, INFINITE) != WAIT_OBJECT_0) {
      return FALSE;
    }
    ExitProcess(kControlCExit);
  }
  return TRUE;
}

// ---- handles -----------------------------------------------------------------

bool IsOpen(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// A console handle: its screen buffer, or its input buffer.
bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return IsOpen(handle) && GetConsoleMode(handle, &mode) != FALSE;
}

bool IsConsoleInput(HANDLE handle) {
  DWORD waiting = 0;
  return IsConsole(handle) && GetNumberOfConsoleInputEvents(handle, &waiting) != FALSE;
}

// The type of a handle that is not a console; FILE_TYPE_UNKNOWN for a
// handle that is not open.
DWORD TypeOf(HANDLE handle) {
  if (!IsOpen(handle)) return FILE_TYPE_UNKNOWN;
  SetLastError(NO_ERROR);
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return FILE_TYPE_UNKNOWN;
  return type == FILE_TYPE_UNKNOWN ? FILE_TYPE_CHAR : type;
}

enum class OutputKind { kNone, kScreen, kStream };

OutputKind ProbeOutput(HANDLE out) {
  if (IsConsole(out)) {
    // A console's input buffer in the place of standard output.
    return IsConsoleInput(out) ? OutputKind::kNone : OutputKind::kScreen;
  }
  const DWORD type = TypeOf(out);
  if (type == FILE_TYPE_UNKNOWN) return OutputKind::kNone;
  if (type == FILE_TYPE_DISK) {
    // An empty write checks that the file is open for writing and changes
    // nothing. It is not tried on a pipe, whose reader could take it for
    // the end of the stream.
    DWORD written = 0;
    if (WriteFile(out, "", 0, &written, nullptr) == FALSE) return OutputKind::kNone;
  }
  return OutputKind::kStream;
}

enum class InputKind { kConsole, kPipe, kDisk, kOther, kNone };

InputKind ProbeInput(HANDLE in) {
  if (IsConsole(in)) return IsConsoleInput(in) ? InputKind::kConsole : InputKind::kNone;
  switch (TypeOf(in)) {
    case FILE_TYPE_PIPE:
      return InputKind::kPipe;
    case FILE_TYPE_DISK:
      return InputKind::kDisk;
    case FILE_TYPE_UNKNOWN:
      return InputKind::kNone;
    default:
      return InputKind::kOther;
  }
}

// A handle as the sink of output.
class HandleSink final : public ByteSink {
 public:
  explicit HandleSink(HANDLE handle) : handle_(handle) {}
  long WriteSome(std::span<const std::uint8_t> bytes) override {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kWriteChunk));
    DWORD written = 0;
    if (WriteFile(handle_, bytes.data(), chunk, &written, nullptr) == FALSE) return -1;
    // Nothing written: a pipe in non-blocking mode whose buffer is full.
    if (written == 0) Sleep(1);
    return static_cast<long>(written);
  }

 private:
  HANDLE handle_;
};

// Standard input that is not a console as the source of a byte stream.
class StandardInputSource final : public ByteSource {
 public:
  StandardInputSource(HANDLE in, InputKind kind) : in_(in), kind_(kind) {}

  // Appends the next byte, one at a time so that bytes no key needs stay
  // in the input. False at the end of the input or on an error.
  bool Read(std::vector<std::uint8_t>& into, bool wait) override {
    bool peeked = true;
    switch (kind_) {
      case InputKind::kPipe: {
        DWORD available = 0;
        if (PeekNamedPipe(in_, nullptr, 0, nullptr, &available, nullptr) == FALSE) {
          // Only a pipe whose writer is gone has ended; a pipe that cannot
          // be peeked at is read, which may wait.
          if (windows::OnPeekFailure(GetLastError()) == windows::PeekFailure::kEndOfInput) {
            return false;
          }
          peeked = false;
          if (!wait) return true;
        } else if (available == 0 && !wait) {
          return true;
        }
        break;
      }
      case InputKind::kOther: {
        const DWORD ready = WaitForSingleObject(in_, wait ? INFINITE : 0);
        if (ready == WAIT_TIMEOUT) return true;
        if (ready != WAIT_OBJECT_0) return false;
        break;
      }
      case InputKind::kNone:
        return false;
      default:
        break;
    }
    std::uint8_t byte = 0;
    DWORD got = 0;
    if (ReadFile(in_, &byte, 1, &got, nullptr) == FALSE) return false;
    if (got == 1) into.push_back(byte);
    // No byte is the end of a file or a device; on a pipe, an empty write,
    // except on a pipe that cannot be peeked at (Wine's pipes of the system
    // underneath), whose end reads as no byte.
    return got > 0 || (kind_ == InputKind::kPipe && peeked);
  }

 private:
  HANDLE in_;
  InputKind kind_;
};

// A cell as a screen buffer coordinate; false for a cell no buffer has.
bool ToCoord(CellPosition at, COORD& coord) {
  constexpr int kLimit = 0x7FFF;
  if (at.column < 1 || at.row < 1 || at.column > kLimit || at.row > kLimit) return false;
  coord.X = static_cast<SHORT>(at.column - 1);
  coord.Y = static_cast<SHORT>(at.row - 1);
  return true;
}

// A code page in which one byte is one character.
bool IsSingleByte(UINT codePage) {
  CPINFO info{};
  return codePage != 0 && GetCPInfo(codePage, &info) != FALSE && info.MaxCharSize == 1;
}

// The characters of a single-byte code page; false for a multi-byte page.
// `glyphs` takes the pictures of the control codes, as the console's
// 8-bit output calls show them.
bool PageCharactersOf(UINT codePage, bool glyphs, windows::PageCharacters& page) {
  if (!IsSingleByte(codePage)) return false;
  for (std::size_t byte = 0; byte < page.size(); ++byte) {
    const char narrow = static_cast<char>(byte);
    wchar_t wide = 0;
    const DWORD flags = glyphs ? MB_USEGLYPHCHARS : 0;
    if (MultiByteToWideChar(codePage, flags | MB_ERR_INVALID_CHARS, &narrow, 1, &wide, 1) != 1) {
      wide = 0;
    }
    page[byte] = static_cast<char16_t>(wide);
  }
  return true;
}

// Each key record's character, in the console's input code page (437
// where that page is multi-byte), one byte per key.
windows::PageCharacters KeyPage() {
  const UINT console = GetConsoleCP();
  const auto chosen = static_cast<UINT>(windows::KeyCodePage(console, IsSingleByte(console)));
  windows::PageCharacters page{};
  if (chosen != windows::kFallbackCodePage && PageCharactersOf(chosen, false, page)) return page;
  return windows::Cp437Characters();
}

// What each byte is drawn as: the output code page's character, or the
// code page 437 glyph where the page is multi-byte.
std::array<char16_t, 256> CellPage() {
  windows::PageCharacters page{};
  if (PageCharactersOf(GetConsoleOutputCP(), true, page)) return windows::CellCharacters(&page);
  return windows::CellCharacters(nullptr);
}

ConsoleEvent FromRecord(const INPUT_RECORD& record, const windows::PageCharacters& keyPage) {
  ConsoleEvent event;
  switch (record.EventType) {
    case KEY_EVENT: {
      const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
      event.kind = ConsoleEventKind::kKey;
      event.pressed = key.bKeyDown != FALSE;
      event.virtualKey = key.wVirtualKeyCode;
      event.scanCode = key.wVirtualScanCode;
      const std::optional<std::uint8_t> character =
          windows::KeyByte(static_cast<char16_t>(key.uChar.UnicodeChar), keyPage);
      // The second half of a surrogate pair: the first gave the key.
      if (!character) {
        event.kind = ConsoleEventKind::kFocus;
        break;
      }
      event.character = *character;
      event.modifiers = static_cast<std::uint32_t>(key.dwControlKeyState);
      break;
    }
    case MOUSE_EVENT:
      event.kind = ConsoleEventKind::kMouse;
      break;
    case WINDOW_BUFFER_SIZE_EVENT:
      event.kind = ConsoleEventKind::kWindowSize;
      break;
    case MENU_EVENT:
      event.kind = ConsoleEventKind::kMenu;
      break;
    case FOCUS_EVENT:
    default:  // a kind of record this program does not know: never a key
      event.kind = ConsoleEventKind::kFocus;
      break;
  }
  return event;
}

// ---- the console ---------------------------------------------------------------

class Win32Console final : public ConsolePort {
 public:
  Win32Console(HANDLE out, OutputKind output, HANDLE in, InputKind input)
      : out_(out),
        screen_(output == OutputKind::kScreen),
        in_(in),
        input_(input),
        inputSource_(in, input),
        streamIn_(input == InputKind::kNone) {
    inputEnded_ = input_ == InputKind::kNone;
  }
  ~Win32Console() override { Restore(); }
  Win32Console(const Win32Console&) = delete;
  Win32Console& operator=(const Win32Console&) = delete;

  ConsoleStart Start() override {
    ConsoleStart start;
    start.kind = screen_ ? ConsoleKind::kScreen : ConsoleKind::kStream;
    if (started_) return start;
    started_ = true;
    if (gHoldEnded == nullptr) gHoldEnded = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    handlerInstalled_ = SetConsoleCtrlHandler(OnControl, TRUE) != FALSE;
    if (input_ == InputKind::kConsole) keyPage_ = KeyPage();
    if (!screen_) return start;
    cells_ = CellPage();

    // The whole screen buffer, not the part its window shows; rows count
    // from the buffer's top.
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(out_, &info) != FALSE) {
      start.sizeKnown = true;
      start.size = {info.dwSize.X, info.dwSize.Y};
      size_ = start.size;
      start.cursorKnown = true;
      start.cursor = {info.dwCursorPosition.X + 1, info.dwCursorPosition.Y + 1};
      attributes_ = info.wAttributes;
      attributesKnown_ = true;
    }
    return start;
  }

  void DrawRun(CellPosition first, std::span<const std::uint8_t> glyphs) override {
    COORD at{};
    if (!screen_ || glyphs.empty() || !ToCoord(first, at)) return;
    const auto length = static_cast<DWORD>(glyphs.size());
    DWORD done = 0;
    // Each byte as one UTF-16 character, so that it fills one cell in every
    // output code page (UTF-8 too).
    std::wstring characters(glyphs.size(), L' ');
    for (std::size_t i = 0; i < glyphs.size(); ++i) {
      characters[i] = static_cast<wchar_t>(cells_[glyphs[i]]);
    }
    WriteConsoleOutputCharacterW(out_, characters.data(), length, at, &done);
    // Where the colours could not be read the cells keep theirs.
    if (attributesKnown_) FillConsoleOutputAttribute(out_, attributes_, length, at, &done);
  }

  void ScrollUp() override {
    if (!screen_) return;
    // The buffer as it is now: the user may have resized it since start-up.
    ScreenSize size = size_;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(out_, &info) != FALSE) size = {info.dwSize.X, info.dwSize.Y};
    if (size.columns < 1 || size.rows < 2) return;
    const SMALL_RECT below{0, 1, static_cast<SHORT>(size.columns - 1),
                           static_cast<SHORT>(size.rows - 1)};
    CHAR_INFO blank{};
    blank.Char.AsciiChar = ' ';
    blank.Attributes = attributesKnown_ ? attributes_ : kPlainAttributes;
    ScrollConsoleScreenBufferA(out_, &below, nullptr, COORD{0, 0}, &blank);
  }

  void PlaceCursor(CellPosition at) override {
    COORD coord{};
    if (screen_ && ToCoord(at, coord)) SetConsoleCursorPosition(out_, coord);
  }

  void WriteStream(std::span<const std::uint8_t> bytes) override {
    // A screen buffer is only ever drawn into cell by cell.
    if (screen_) return;
    pendingOut_.Append(bytes);
  }

  void Flush() override {
    // Console calls take effect at once; only a stream has bytes waiting.
    if (pendingOut_.Empty()) return;
    HandleSink sink(out_);
    pendingOut_.Flush(sink);
  }

  bool TakeEvent(ConsoleEvent& event) override {
    return input_ == InputKind::kConsole ? TakeConsoleEvent(event)
                                         : streamIn_.Take(inputSource_, event);
  }

  void WaitForInput() override {
    if (input_ != InputKind::kConsole) {
      streamIn_.Wait(inputSource_);
      return;
    }
    // The input handle is signalled while records wait in its buffer.
    if (!inputEnded_) WaitForSingleObject(in_, INFINITE);
  }

  void HoldInterruptions(bool hold) override {
    if (hold) {
      // Reset before the count shows the hold, so that a closing console
      // never finds the hold in force and its end already signalled.
      if (gHoldDepth.load() == 0 && gHoldEnded != nullptr) ResetEvent(gHoldEnded);
      gHoldDepth.fetch_add(1);
      return;
    }
    if (gHoldDepth.load() == 0 || gHoldDepth.fetch_sub(1) != 1) return;
    if (gHoldEnded != nullptr) SetEvent(gHoldEnded);
    if (gHeldEvent.exchange(0) != 0) {
      Restore();
      ExitProcess(kControlCExit);
    }
  }

  void Restore() override {
    if (!started_ || restored_) return;
    restored_ = true;
    Flush();
    if (handlerInstalled_) SetConsoleCtrlHandler(OnControl, FALSE);
    handlerInstalled_ = false;
  }

  // The only process on its console: a window opened for it, which closes
  // when it ends.
  bool OwnsConsole() const override {
    if (!screen_ && input_ != InputKind::kConsole) return false;
    std::array<DWORD, 2> processes{};
    return GetConsoleProcessList(processes.data(), static_cast<DWORD>(processes.size())) == 1;
  }

  std::uint32_t CodeOffset(const void* address) const override {
    const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address) - base);
  }

 private:
  // One input record per event, whatever its repeat count says. Never
  // waits: a record is read only when one is waiting.
  bool TakeConsoleEvent(ConsoleEvent& event) {
    if (!inputEnded_) {
      // A wait of no time lets a console that reads its keys from a
      // terminal (Wine's) take in what was typed; the count alone does not.
      WaitForSingleObject(in_, 0);
      DWORD waiting = 0;
      if (GetNumberOfConsoleInputEvents(in_, &waiting) == FALSE) {
        inputEnded_ = true;
      } else if (waiting == 0) {
        return false;
      } else {
        INPUT_RECORD record{};
        DWORD read = 0;
        if (ReadConsoleInputW(in_, &record, 1, &read) == FALSE) {
          inputEnded_ = true;
        } else if (read == 0) {
          return false;
        } else {
          event = FromRecord(record, keyPage_);
          return true;
        }
      }
    }
    // A console that is gone gives no more keys.
    event = EndOfInput();
    return true;
  }

  const HANDLE out_;
  const bool screen_;
  const HANDLE in_;
  const InputKind input_;
  bool started_ = false;
  bool restored_ = false;
  bool handlerInstalled_ = false;

  // Output.
  ScreenSize size_;  // the buffer's size at start-up, 80 x 25 where unknown
  WORD attributes_ = kPlainAttributes;
  bool attributesKnown_ = false;
  StreamOutput pendingOut_;  // stream: everything since the last Flush
  std::array<char16_t, 256> cells_ = windows::CellCharacters(nullptr);  // what each byte draws

  // Input.
  windows::PageCharacters keyPage_ = windows::Cp437Characters();  // key characters to bytes
  StandardInputSource inputSource_;  // standard input that is not a console
  StreamInput streamIn_;
  bool inputEnded_ = false;
};

}  // namespace

ConsolePort* system::OpenConsole() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const OutputKind output = ProbeOutput(out);
  if (output == OutputKind::kNone) {
    std::string message(kNoConsoleMessage);
    message += "\r\n";
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    if (IsOpen(err)) {
      WriteFile(err, message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
    }
    return nullptr;
  }
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  static Win32Console console(out, output, in, ProbeInput(in));
  return &console;
}

}  // namespace frame
