// The console seam: the few things a console back end does for the frame.
//
// A back end draws characters into cells, places the cursor, scrolls, and
// hands over input events as the console reports them. Every rule about what
// a character does on the screen and what a key press means is applied above
// this seam, once, for every back end. The values of the key state bits and
// of the virtual keys are those of the Win32 console, which reports them
// natively; other back ends fill the same record.
#ifndef CNC64_FRAME_CONSOLE_PORT_H_
#define CNC64_FRAME_CONSOLE_PORT_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace frame {

/// A cell of the screen; column 1, row 1 is the top-left cell.
struct CellPosition {
  int column = 1;
  int row = 1;
  friend bool operator==(const CellPosition&, const CellPosition&) = default;
};

/// The number of columns and rows of the screen.
struct ScreenSize {
  int columns = 80;
  int rows = 25;
  friend bool operator==(const ScreenSize&, const ScreenSize&) = default;
};

/// Bits of `ConsoleEvent::modifiers`.
namespace keystate {
inline constexpr std::uint32_t kRightAlt = 0x0001;
inline constexpr std::uint32_t kLeftAlt = 0x0002;
inline constexpr std::uint32_t kRightCtrl = 0x0004;
inline constexpr std::uint32_t kLeftCtrl = 0x0008;
inline constexpr std::uint32_t kShift = 0x0010;
inline constexpr std::uint32_t kNumLock = 0x0020;
inline constexpr std::uint32_t kScrollLock = 0x0040;
inline constexpr std::uint32_t kCapsLock = 0x0080;
inline constexpr std::uint32_t kEnhanced = 0x0100;
inline constexpr std::uint32_t kAnyAlt = kLeftAlt | kRightAlt;
inline constexpr std::uint32_t kAnyCtrl = kLeftCtrl | kRightCtrl;
}  // namespace keystate

/// Virtual keys of `ConsoleEvent::virtualKey`.
namespace vk {
inline constexpr std::uint16_t kBack = 0x08;
inline constexpr std::uint16_t kTab = 0x09;
inline constexpr std::uint16_t kReturn = 0x0D;
inline constexpr std::uint16_t kShift = 0x10;
inline constexpr std::uint16_t kControl = 0x11;
inline constexpr std::uint16_t kMenu = 0x12;  // Alt
inline constexpr std::uint16_t kPause = 0x13;
inline constexpr std::uint16_t kCapital = 0x14;  // Caps Lock
inline constexpr std::uint16_t kEscape = 0x1B;
inline constexpr std::uint16_t kSpace = 0x20;
inline constexpr std::uint16_t kPrior = 0x21;  // Page Up
inline constexpr std::uint16_t kNext = 0x22;   // Page Down
inline constexpr std::uint16_t kEnd = 0x23;
inline constexpr std::uint16_t kHome = 0x24;
inline constexpr std::uint16_t kLeft = 0x25;
inline constexpr std::uint16_t kUp = 0x26;
inline constexpr std::uint16_t kRight = 0x27;
inline constexpr std::uint16_t kDown = 0x28;
inline constexpr std::uint16_t kInsert = 0x2D;
inline constexpr std::uint16_t kDelete = 0x2E;
inline constexpr std::uint16_t kDigit0 = 0x30;   // '0'..'9' are 0x30..0x39
inline constexpr std::uint16_t kLetterA = 0x41;  // 'A'..'Z' are 0x41..0x5A
inline constexpr std::uint16_t kApps = 0x5D;     // the Menu key
inline constexpr std::uint16_t kNumpad0 = 0x60;  // keypad digits, Num Lock on
inline constexpr std::uint16_t kNumpad9 = 0x69;
inline constexpr std::uint16_t kMultiply = 0x6A;
inline constexpr std::uint16_t kAdd = 0x6B;
inline constexpr std::uint16_t kSubtract = 0x6D;
inline constexpr std::uint16_t kDecimal = 0x6E;
inline constexpr std::uint16_t kDivide = 0x6F;
inline constexpr std::uint16_t kF1 = 0x70;  // F1..F12 are 0x70..0x7B
inline constexpr std::uint16_t kF12 = 0x7B;
inline constexpr std::uint16_t kNumLock = 0x90;
inline constexpr std::uint16_t kScroll = 0x91;
inline constexpr std::uint16_t kLShift = 0xA0;
inline constexpr std::uint16_t kRShift = 0xA1;
inline constexpr std::uint16_t kLControl = 0xA2;
inline constexpr std::uint16_t kRControl = 0xA3;
inline constexpr std::uint16_t kLMenu = 0xA4;
inline constexpr std::uint16_t kRMenu = 0xA5;
}  // namespace vk

enum class ConsoleEventKind : std::uint8_t {
  kKey,         ///< a key was pressed or released
  kMouse,       ///< mouse movement or button
  kFocus,       ///< the console window gained or lost focus
  kWindowSize,  ///< the console's size changed
  kMenu,        ///< a menu command of the console window
  kByte,        ///< one byte of an input that is not a console: one key code, as is
  kEndOfInput,  ///< the input has ended (end of file, hang-up, a console gone); given again at
                ///< every take
};

/// One input event, as the console reports it.
struct ConsoleEvent {
  ConsoleEventKind kind = ConsoleEventKind::kKey;
  bool pressed = true;
  std::uint16_t virtualKey = 0;
  std::uint16_t scanCode = 0;   ///< set 1, without the extension prefix
  std::uint8_t character = 0;   ///< in the console's 8-bit character set; 0 for none
  std::uint32_t modifiers = 0;  ///< `keystate` bits
};

/// How a console shows what the frame writes.
enum class ConsoleKind : std::uint8_t {
  kScreen,  ///< a grid of cells with a cursor
  kStream,  ///< a plain sequence of bytes (a pipe or a file)
};

/// What a console is, read once at start-up.
struct ConsoleStart {
  ConsoleKind kind = ConsoleKind::kScreen;
  bool sizeKnown = false;  ///< false: the frame uses 80 x 25
  ScreenSize size;
  bool cursorKnown = false;  ///< false: the frame starts in column 1, row 1
  CellPosition cursor;
  /// True where the visible screen stands in for a screen buffer (a
  /// terminal): rows that a tool addresses then count from where its output
  /// began.
  bool rowsFromOutputStart = false;
};

class ConsolePort {
 public:
  virtual ~ConsolePort() = default;

  /// Sets the console up for the run and tells what it is.
  virtual ConsoleStart Start() = 0;

  /// Screen: draws `glyphs` into consecutive cells of one row from `first`.
  virtual void DrawRun(CellPosition first, std::span<const std::uint8_t> glyphs) = 0;
  /// Screen: scrolls the whole screen up by one row, leaving a blank bottom row.
  virtual void ScrollUp() = 0;
  /// Screen: places the visible cursor.
  virtual void PlaceCursor(CellPosition at) = 0;
  /// Stream: appends bytes.
  virtual void WriteStream(std::span<const std::uint8_t> bytes) = 0;
  /// Everything handed over so far is on the console when this returns.
  virtual void Flush() = 0;

  /// Takes the oldest waiting input event; false when none is waiting.
  /// Never waits.
  virtual bool TakeEvent(ConsoleEvent& event) = 0;
  /// Blocks, using no processor time, until input may have arrived: until
  /// a byte or an input event comes, the input ends, a timer that decoding
  /// needs runs out (a lone Escape), or a signal interrupts the wait.
  /// Returns at once when input is already waiting or has ended.
  virtual void WaitForInput() = 0;
  /// True, with the new size, when the screen's size has changed since it
  /// was last told (the window was resized).
  virtual bool TakeNewSize(ScreenSize& size) {
    static_cast<void>(size);
    return false;
  }

  /// True where the console is the program's own and goes away when the
  /// program ends (a console window opened for it alone, a terminal window
  /// started for it), so that what it shows last would vanish unread.
  virtual bool OwnsConsole() const { return false; }

  /// While held, an interruption (Ctrl+C, a termination request) waits; it
  /// takes effect when the hold is released.
  virtual void HoldInterruptions(bool hold) = 0;
  /// Puts the console back as it was found. Safe to call more than once.
  virtual void Restore() = 0;
  /// The offset of a code address within the running executable.
  virtual std::uint32_t CodeOffset(const void* address) const = 0;
};

}  // namespace frame

#endif  // CNC64_FRAME_CONSOLE_PORT_H_
