// Turns the bytes that a terminal sends into key presses, as a console
// would report them. Pure: it reads no input of its own.
#ifndef CNC64_FRAME_TERMINAL_DECODER_H_
#define CNC64_FRAME_TERMINAL_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "frame/console_port.h"

namespace frame {

/// The families of terminals whose keys differ. Where one byte sequence
/// means different keys on different terminals, the family decides.
enum class TerminalFamily : std::uint8_t {
  kXterm,   ///< xterm and everything that follows it (the default)
  kLinux,   ///< the Linux console
  kPutty,   ///< PuTTY
  kRxvt,    ///< rxvt and rxvt-unicode
  kScreen,  ///< GNU screen and tmux, which send keys in the xterm forms
};

/// The family of a `TERM` value, by its family name: "linux", "putty*",
/// "rxvt*", "screen*" and "tmux*"; anything else (also no value) is xterm-like.
TerminalFamily FamilyOfTerm(std::string_view term);

/// Whether the family's keypad in application mode tells every keypad key
/// apart. Where it does not (its Num-Lock-off keys send the digits' forms,
/// Num Lock itself sends a sequence and no longer switches), the keypad is
/// best left in numeric mode.
bool ApplicationKeypadFits(TerminalFamily family);

enum class DecodeStatus : std::uint8_t {
  kEvent,     ///< `event` holds a key press (or a mouse or focus event); drop `consumed` bytes
  kNeedMore,  ///< the bytes begin a sequence that is not complete yet; nothing consumed
  kDiscard,   ///< the first `consumed` bytes form nothing a key rule can use; drop them
};

struct DecodeResult {
  DecodeStatus status = DecodeStatus::kNeedMore;
  std::size_t consumed = 0;
  ConsoleEvent event;
};

/// Decodes the first event in `pending`. `moreMayFollow` is false once the
/// input has been quiet for a short wait: an incomplete sequence is then
/// taken as what it is so far (a lone Escape is the Escape key). `utf8`
/// tells whether the terminal sends characters as UTF-8; characters are
/// given in code page 437 ('?' for one the code page lacks).
///
/// A key press is filled in as a Win32 console reports the same key on a US
/// layout: virtual key, scan code, the character it yields (0 for none) and
/// the modifiers, Alt (an ESC prefix, or Meta) as the left Alt key. A focus
/// event is `pressed` when the focus was gained; a mouse event carries
/// nothing but its kind.
///
/// Reports of the progressive keyboard-enhancement protocol ("CSI ... u"
/// with event types) give releases and repeats too, modifier keys pressed
/// alone, and the keypad's keys apart from their twins, as a Win32 console
/// reports them.
DecodeResult DecodeTerminalInput(std::span<const std::uint8_t> pending, bool moreMayFollow,
                                 bool utf8, TerminalFamily family = TerminalFamily::kXterm);

/// A cursor position report (ESC [ row ; column R) found in `bytes`.
struct CursorReport {
  std::size_t offset = 0;  ///< where the report starts
  std::size_t length = 0;  ///< its length in bytes
  CellPosition position;
};
/// The first cursor position report in `bytes`, which may hold typed keys
/// before and after it; nothing when no complete report is there.
std::optional<CursorReport> FindCursorReport(std::span<const std::uint8_t> bytes);

/// The answer to the keyboard-enhancement query (ESC [ ? flags u) found
/// in `bytes`.
struct KeyboardFlagsReport {
  std::size_t offset = 0;  ///< where the answer starts
  std::size_t length = 0;  ///< its length in bytes
  std::uint32_t flags = 0;
};
/// The first such answer in `bytes`, which may hold typed keys before and
/// after it; nothing when no complete answer is there.
std::optional<KeyboardFlagsReport> FindKeyboardFlagsReport(std::span<const std::uint8_t> bytes);

}  // namespace frame

#endif  // CNC64_FRAME_TERMINAL_DECODER_H_
