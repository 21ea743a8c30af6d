// Terminal input to key presses. Each press is filled in as a Win32 console
// reports the same key on a US keyboard: the virtual key, the set-1 scan
// code, the character the key yields (0 where it yields none) and the
// modifier keys, so that the key rules treat a terminal key exactly as the
// console key it stands for.
#include "frame/terminal_decoder.h"

#include <array>
#include <cstdint>
#include <optional>

#include "frame/code_page_437.h"

namespace frame {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint8_t kEscape = 0x1B;
/// A sequence that runs longer than this is garbage, not a key.
constexpr std::size_t kLongestSequence = 32;
/// The keypad's 5 with Num Lock off ("clear").
constexpr std::uint16_t kClearKey = 0x0C;

// ---- results -------------------------------------------------------------

DecodeResult Event(const ConsoleEvent& event, std::size_t consumed) {
  return DecodeResult{DecodeStatus::kEvent, consumed, event};
}

DecodeResult NeedMore() { return DecodeResult{DecodeStatus::kNeedMore, 0, ConsoleEvent{}}; }

DecodeResult Discard(std::size_t consumed) {
  return DecodeResult{DecodeStatus::kDiscard, consumed, ConsoleEvent{}};
}

ConsoleEvent Press(std::uint16_t virtualKey, std::uint16_t scanCode, std::uint8_t character,
                   std::uint32_t modifiers) {
  return ConsoleEvent{ConsoleEventKind::kKey, true, virtualKey, scanCode, character, modifiers};
}

ConsoleEvent Other(ConsoleEventKind kind, bool pressed) {
  ConsoleEvent event;
  event.kind = kind;
  event.pressed = pressed;
  return event;
}

bool Holds(std::uint32_t modifiers, std::uint32_t bits) { return (modifiers & bits) != 0; }

/// The modifiers of an xterm-style modifier parameter: 1 + a bit set of
/// Shift (1), Alt (2), Ctrl (4) and Meta (8, or 32 in the "CSI u" form),
/// Meta counting as Alt; the "CSI u" form adds Caps Lock (64) and Num Lock
/// (128), which become the console's lock states.
std::uint32_t ModifiersOf(std::uint32_t parameter) {
  const std::uint32_t bits = parameter > 0 ? parameter - 1 : 0;
  std::uint32_t modifiers = 0;
  if ((bits & 1u) != 0) modifiers |= keystate::kShift;
  if ((bits & (2u | 8u | 32u)) != 0) modifiers |= keystate::kLeftAlt;
  if ((bits & 4u) != 0) modifiers |= keystate::kLeftCtrl;
  if ((bits & 64u) != 0) modifiers |= keystate::kCapsLock;
  if ((bits & 128u) != 0) modifiers |= keystate::kNumLock;
  return modifiers;
}

/// The event types of the keyboard-enhancement protocol.
enum class KeyAction : std::uint8_t { kPress, kRelease };

/// The event type sub-field: 1 press, 2 repeat (a press, as a console
/// reports a held key), 3 release; nothing for another value.
std::optional<KeyAction> ActionOf(std::uint32_t type) {
  if (type == 1 || type == 2) return KeyAction::kPress;
  if (type == 3) return KeyAction::kRelease;
  return std::nullopt;
}

ConsoleEvent WithAction(ConsoleEvent event, KeyAction action) {
  event.pressed = action == KeyAction::kPress;
  return event;
}

// ---- character keys of the US layout -------------------------------------

struct LayoutKey {
  std::uint8_t plain;
  std::uint8_t shifted;
  std::uint8_t control;  ///< the character with Ctrl held; 0 where there is none
  std::uint16_t virtualKey;
  std::uint8_t scan;
};

constexpr std::array<LayoutKey, 48> kLayout = {{
    {'1', '!', 0, '1', 2},     {'2', '@', 0, '2', 3},    {'3', '#', 0, '3', 4},
    {'4', '$', 0, '4', 5},     {'5', '%', 0, '5', 6},    {'6', '^', 30, '6', 7},
    {'7', '&', 0, '7', 8},     {'8', '*', 0, '8', 9},    {'9', '(', 0, '9', 10},
    {'0', ')', 0, '0', 11},    {'-', '_', 31, 0xBD, 12}, {'=', '+', 0, 0xBB, 13},
    {'q', 'Q', 17, 'Q', 16},   {'w', 'W', 23, 'W', 17},  {'e', 'E', 5, 'E', 18},
    {'r', 'R', 18, 'R', 19},   {'t', 'T', 20, 'T', 20},  {'y', 'Y', 25, 'Y', 21},
    {'u', 'U', 21, 'U', 22},   {'i', 'I', 9, 'I', 23},   {'o', 'O', 15, 'O', 24},
    {'p', 'P', 16, 'P', 25},   {'[', '{', 27, 0xDB, 26}, {']', '}', 29, 0xDD, 27},
    {'a', 'A', 1, 'A', 30},    {'s', 'S', 19, 'S', 31},  {'d', 'D', 4, 'D', 32},
    {'f', 'F', 6, 'F', 33},    {'g', 'G', 7, 'G', 34},   {'h', 'H', 8, 'H', 35},
    {'j', 'J', 10, 'J', 36},   {'k', 'K', 11, 'K', 37},  {'l', 'L', 12, 'L', 38},
    {';', ':', 0, 0xBA, 39},   {'\'', '"', 0, 0xDE, 40}, {'`', '~', 0, 0xC0, 41},
    {'\\', '|', 28, 0xDC, 43}, {'z', 'Z', 26, 'Z', 44},  {'x', 'X', 24, 'X', 45},
    {'c', 'C', 3, 'C', 46},    {'v', 'V', 22, 'V', 47},  {'b', 'B', 2, 'B', 48},
    {'n', 'N', 14, 'N', 49},   {'m', 'M', 13, 'M', 50},  {',', '<', 0, 0xBC, 51},
    {'.', '>', 0, 0xBE, 52},   {'/', '?', 0, 0xBF, 53},  {' ', ' ', ' ', vk::kSpace, 57},
}};

const LayoutKey& LayoutKeyOf(char32_t character) {
  for (const LayoutKey& key : kLayout) {
    if (key.plain == character || key.shifted == character) return key;
  }
  return kLayout.back();  // not reached for 32..126: every one is on the layout
}

/// A press of the layout key that types `character` (32..126), with Shift
/// added where the layout needs it.
ConsoleEvent LayoutPress(char32_t character, std::uint32_t modifiers) {
  const LayoutKey& key = LayoutKeyOf(character);
  if (character == key.shifted && character != key.plain) modifiers |= keystate::kShift;
  std::uint8_t yields = key.plain;
  if (Holds(modifiers, keystate::kAnyCtrl)) {
    yields = key.control;
  } else if (Holds(modifiers, keystate::kShift)) {
    yields = key.shifted;
  }
  return Press(key.virtualKey, key.scan, yields, modifiers);
}

/// A character that no key of the layout types: it arrives as is.
ConsoleEvent CharacterPress(std::uint8_t character, std::uint32_t modifiers) {
  return Press(0, 0, character, modifiers);
}

/// The key press a code point stands for: the keys with a character of
/// their own (Enter, Tab, Backspace, Escape), the control characters as Ctrl
/// with the key that makes them, the layout's characters, and any other
/// character in code page 437 ('?' where the code page lacks it).
ConsoleEvent CodePointPress(char32_t code, std::uint32_t modifiers) {
  const bool ctrl = Holds(modifiers, keystate::kAnyCtrl);
  switch (code) {
    case 13:
      return Press(vk::kReturn, 28, ctrl ? 10 : 13, modifiers);
    case 9:
      return Press(vk::kTab, 15, ctrl ? 0 : 9, modifiers);
    case 127:
      return Press(vk::kBack, 14, ctrl ? 127 : 8, modifiers);
    case 27:
      return Press(vk::kEscape, 1, 27, modifiers);
    case 0:
      return LayoutPress(U'2', modifiers | keystate::kLeftCtrl);
    case 28:
      return LayoutPress(U'\\', modifiers | keystate::kLeftCtrl);
    case 29:
      return LayoutPress(U']', modifiers | keystate::kLeftCtrl);
    case 30:
      return LayoutPress(U'6', modifiers | keystate::kLeftCtrl);
    case 31:
      return LayoutPress(U'-', modifiers | keystate::kLeftCtrl);
    default:
      break;
  }
  if (code >= 1 && code <= 26) return LayoutPress(U'a' + code - 1, modifiers | keystate::kLeftCtrl);
  if (code >= 32 && code <= 126) return LayoutPress(code, modifiers);
  return CharacterPress(Cp437FromUnicode(code).value_or('?'), modifiers);
}

// ---- keys without a character --------------------------------------------

struct NamedKey {
  std::uint16_t virtualKey;
  std::uint8_t scan;
  bool enhanced;
};

constexpr NamedKey kUp{vk::kUp, 72, true};
constexpr NamedKey kDown{vk::kDown, 80, true};
constexpr NamedKey kRight{vk::kRight, 77, true};
constexpr NamedKey kLeft{vk::kLeft, 75, true};
constexpr NamedKey kHome{vk::kHome, 71, true};
constexpr NamedKey kEnd{vk::kEnd, 79, true};
constexpr NamedKey kPageUp{vk::kPrior, 73, true};
constexpr NamedKey kPageDown{vk::kNext, 81, true};
constexpr NamedKey kInsert{vk::kInsert, 82, true};
constexpr NamedKey kDelete{vk::kDelete, 83, true};
constexpr NamedKey kKeypadCentre{kClearKey, 76, false};

constexpr NamedKey FunctionKey(int number) {
  return NamedKey{static_cast<std::uint16_t>(vk::kF1 + number - 1),
                  static_cast<std::uint8_t>(number <= 10 ? 58 + number : 76 + number), false};
}

ConsoleEvent NamedPress(const NamedKey& key, std::uint32_t modifiers) {
  if (key.enhanced) modifiers |= keystate::kEnhanced;
  return Press(key.virtualKey, key.scan, 0, modifiers);
}

/// The key of a sequence that ends in a letter (ESC [ A, ESC O P, ...).
std::optional<NamedKey> LetterKey(std::uint8_t final) {
  switch (final) {
    case 'A':
      return kUp;
    case 'B':
      return kDown;
    case 'C':
      return kRight;
    case 'D':
      return kLeft;
    case 'H':
      return kHome;
    case 'F':
      return kEnd;
    case 'E':
      return kKeypadCentre;
    case 'G':
      return kKeypadCentre;
    case 'P':
      return FunctionKey(1);
    case 'Q':
      return FunctionKey(2);
    case 'R':
      return FunctionKey(3);
    case 'S':
      return FunctionKey(4);
    default:
      return std::nullopt;
  }
}

/// The key of ESC [ n ~ for the numbers every family sends.
std::optional<NamedKey> PlainTildeKey(std::uint32_t number) {
  switch (number) {
    case 1:
      return kHome;
    case 2:
      return kInsert;
    case 3:
      return kDelete;
    case 4:
      return kEnd;
    case 5:
      return kPageUp;
    case 6:
      return kPageDown;
    case 7:
      return kHome;
    case 8:
      return kEnd;
    case 11:
      return FunctionKey(1);
    case 12:
      return FunctionKey(2);
    case 13:
      return FunctionKey(3);
    case 14:
      return FunctionKey(4);
    case 15:
      return FunctionKey(5);
    case 17:
      return FunctionKey(6);
    case 18:
      return FunctionKey(7);
    case 19:
      return FunctionKey(8);
    case 20:
      return FunctionKey(9);
    case 21:
      return FunctionKey(10);
    case 23:
      return FunctionKey(11);
    case 24:
      return FunctionKey(12);
    default:
      return std::nullopt;
  }
}

/// The key of ESC [ n ~, with the modifiers the number implies: 25 to 34,
/// which the Linux console, rxvt and PuTTY send for Shift+F3 to Shift+F10
/// (Shift+F1 and Shift+F2 send 23 and 24, F11 and F12).
struct TildeKeyOf {
  NamedKey key;
  std::uint32_t implied = 0;
};

std::optional<TildeKeyOf> TildeKey(std::uint32_t number) {
  switch (number) {
    case 25:
      return TildeKeyOf{FunctionKey(3), keystate::kShift};
    case 26:
      return TildeKeyOf{FunctionKey(4), keystate::kShift};
    case 28:
      return TildeKeyOf{FunctionKey(5), keystate::kShift};
    case 29:
      return TildeKeyOf{FunctionKey(6), keystate::kShift};
    case 31:
      return TildeKeyOf{FunctionKey(7), keystate::kShift};
    case 32:
      return TildeKeyOf{FunctionKey(8), keystate::kShift};
    case 33:
      return TildeKeyOf{FunctionKey(9), keystate::kShift};
    case 34:
      return TildeKeyOf{FunctionKey(10), keystate::kShift};
    default:
      break;
  }
  const std::optional<NamedKey> key = PlainTildeKey(number);
  if (!key) return std::nullopt;
  return TildeKeyOf{*key, 0};
}

// ---- the keypad in application mode -------------------------------------

struct KeypadKey {
  std::uint8_t final;  ///< the last byte of its ESC O sequence
  std::uint8_t character;
  std::uint16_t virtualKey;
  std::uint8_t scan;
  std::uint32_t flags;  ///< kEnhanced, kNumLock
};

constexpr std::array<KeypadKey, 17> kKeypad = {{
    {'p', '0', vk::kNumpad0 + 0, 82, keystate::kNumLock},
    {'q', '1', vk::kNumpad0 + 1, 79, keystate::kNumLock},
    {'r', '2', vk::kNumpad0 + 2, 80, keystate::kNumLock},
    {'s', '3', vk::kNumpad0 + 3, 81, keystate::kNumLock},
    {'t', '4', vk::kNumpad0 + 4, 75, keystate::kNumLock},
    {'u', '5', vk::kNumpad0 + 5, 76, keystate::kNumLock},
    {'v', '6', vk::kNumpad0 + 6, 77, keystate::kNumLock},
    {'w', '7', vk::kNumpad0 + 7, 71, keystate::kNumLock},
    {'x', '8', vk::kNumpad0 + 8, 72, keystate::kNumLock},
    {'y', '9', vk::kNumpad0 + 9, 73, keystate::kNumLock},
    {'n', '.', vk::kDecimal, 83, keystate::kNumLock},
    {'j', '*', vk::kMultiply, 55, 0},
    {'k', '+', vk::kAdd, 78, 0},
    // The VT100's keypad comma, where the Linux console and PuTTY put the
    // PC keypad's +.
    {'l', '+', vk::kAdd, 78, 0},
    {'m', '-', vk::kSubtract, 74, 0},
    {'o', '/', vk::kDivide, 53, keystate::kEnhanced},
    {'M', 13, vk::kReturn, 28, keystate::kEnhanced},
}};

/// The keypad key of ESC O `final`, if it is one. The keypad's keys yield
/// no character while Ctrl or Alt is held, except Enter.
std::optional<ConsoleEvent> KeypadPress(std::uint8_t final, std::uint32_t modifiers) {
  if (final == 'X') return LayoutPress(U'=', modifiers);  // keypad '='
  for (const KeypadKey& key : kKeypad) {
    if (key.final != final) continue;
    std::uint8_t yields = key.character;
    if (yields == 13) {
      if (Holds(modifiers, keystate::kAnyCtrl)) yields = 10;
    } else if (Holds(modifiers, keystate::kAnyCtrl | keystate::kAnyAlt)) {
      yields = 0;
    }
    return Press(key.virtualKey, key.scan, yields, modifiers | key.flags);
  }
  return std::nullopt;
}

constexpr NamedKey kNumLockKey{vk::kNumLock, 69, false};

/// The keys of ESC O P..S on the Linux console and PuTTY, whose keypad in
/// application mode sends them for Num Lock, / , * and - (the VT100's PF1
/// to PF4 sit there); their function keys send other forms.
std::optional<ConsoleEvent> PfKeyPress(std::uint8_t final, std::uint32_t modifiers) {
  switch (final) {
    case 'P':
      return NamedPress(kNumLockKey, modifiers);
    case 'Q':
      return KeypadPress('o', modifiers);
    case 'R':
      return KeypadPress('j', modifiers);
    case 'S':
      return KeypadPress('m', modifiers);
    default:
      return std::nullopt;
  }
}

bool SendsPfKeysFromKeypad(TerminalFamily family) {
  return family == TerminalFamily::kLinux || family == TerminalFamily::kPutty;
}

/// rxvt's Shift+arrows (ESC [ a..d) and Ctrl+arrows (ESC O a..d).
std::optional<NamedKey> LowerArrowKey(std::uint8_t final) {
  switch (final) {
    case 'a':
      return kUp;
    case 'b':
      return kDown;
    case 'c':
      return kRight;
    case 'd':
      return kLeft;
    default:
      return std::nullopt;
  }
}

// ---- parameters of a sequence --------------------------------------------

/// The numbers of a parameter string such as "1;5" or "97:65;6:1", with an
/// optional private marker in front ("<0;10;5").
struct Parameters {
  static constexpr std::size_t kFields = 4;
  static constexpr std::size_t kParts = 8;
  std::uint8_t marker = 0;
  std::size_t count = 0;  ///< fields present, empty ones included
  std::array<std::array<std::uint32_t, kParts>, kFields> value{};
  std::array<std::array<bool, kParts>, kFields> given{};

  bool Given(std::size_t field, std::size_t part = 0) const {
    return field < count && given[field][part];
  }
  std::uint32_t Get(std::size_t field, std::uint32_t fallback, std::size_t part = 0) const {
    return Given(field, part) ? value[field][part] : fallback;
  }
};

std::optional<Parameters> ParseParameters(Bytes text) {
  constexpr std::uint32_t kLargest = 0x10FFFF;
  Parameters parameters;
  std::size_t at = 0;
  if (!text.empty() && text[0] >= '<' && text[0] <= '?') parameters.marker = text[at++];
  if (at == text.size()) return parameters;
  std::size_t field = 0;
  std::size_t part = 0;
  parameters.count = 1;
  for (; at < text.size(); ++at) {
    const std::uint8_t c = text[at];
    if (c >= '0' && c <= '9') {
      std::uint32_t& number = parameters.value[field][part];
      number = number * 10u + static_cast<std::uint32_t>(c - '0');
      if (number > kLargest) return std::nullopt;
      parameters.given[field][part] = true;
    } else if (c == ':') {
      if (++part == Parameters::kParts) return std::nullopt;
    } else if (c == ';') {
      if (++field == Parameters::kFields) return std::nullopt;
      part = 0;
      ++parameters.count;
    } else {
      return std::nullopt;
    }
  }
  return parameters;
}

/// The modifiers and the event type of a key sequence: field `field` holds
/// "m" or "m:e"; absent, the key is pressed without modifiers.
struct KeyModifier {
  std::uint32_t modifiers = 0;
  KeyAction action = KeyAction::kPress;
};

std::optional<KeyModifier> ModifierField(const Parameters& parameters, std::size_t field) {
  const std::optional<KeyAction> action = ActionOf(parameters.Get(field, 1, 1));
  if (!action) return std::nullopt;
  for (std::size_t part = 2; part < Parameters::kParts; ++part) {
    if (parameters.Given(field, part)) return std::nullopt;
  }
  return KeyModifier{ModifiersOf(parameters.Get(field, 1)), *action};
}

/// The modifier parameter of a key sequence ending in a letter: none, or
/// "1;m" (the 1 may be left out), with an event type.
std::optional<KeyModifier> LetterModifier(const Parameters& parameters) {
  if (parameters.count == 0) return KeyModifier{};
  if (parameters.count == 2 && parameters.Get(0, 1) == 1 && !parameters.Given(0, 1)) {
    return ModifierField(parameters, 1);
  }
  return std::nullopt;
}

// ---- the keyboard-enhancement protocol's own key codes --------------------

/// Code points of the protocol's keys that have no character, from the
/// private use area.
namespace protocol {
constexpr std::uint32_t kCapsLock = 57358;
constexpr std::uint32_t kScrollLock = 57359;
constexpr std::uint32_t kNumLock = 57360;
constexpr std::uint32_t kPrintScreen = 57361;
constexpr std::uint32_t kPause = 57362;
constexpr std::uint32_t kMenu = 57363;
constexpr std::uint32_t kF13 = 57376;
constexpr std::uint32_t kF24 = 57387;
constexpr std::uint32_t kKeypad0 = 57399;
constexpr std::uint32_t kKeypadBegin = 57427;
constexpr std::uint32_t kLeftShift = 57441;
constexpr std::uint32_t kIsoLevel5Shift = 57454;
}  // namespace protocol

/// A modifier key pressed or released by itself, as the console reports
/// it: Shift, Ctrl and Alt with the left or right key's scan code, the
/// right Ctrl and Alt as enhanced keys. The Super, Hyper and Meta keys and
/// the fifth level's shift are no keys a console reports: nothing.
std::optional<ConsoleEvent> ModifierKeyPress(std::uint32_t code, std::uint32_t modifiers) {
  constexpr std::uint32_t kLeftSide = 57441;  // shift, control, alt, super, hyper, meta
  constexpr std::uint32_t kRightSide = 57447;
  constexpr std::uint32_t kLevel3Shift = 57453;  // AltGr on many layouts
  if (code == kLevel3Shift) {
    return Press(vk::kMenu, 56, 0, modifiers | keystate::kRightAlt | keystate::kEnhanced);
  }
  if (code < kLeftSide || code >= kLevel3Shift) return std::nullopt;
  const bool right = code >= kRightSide;
  const std::uint32_t which = code - (right ? kRightSide : kLeftSide);
  switch (which) {
    case 0:
      return Press(vk::kShift, right ? 54 : 42, 0, modifiers | keystate::kShift);
    case 1:
      return Press(
          vk::kControl, 29, 0,
          modifiers | (right ? keystate::kRightCtrl | keystate::kEnhanced : keystate::kLeftCtrl));
    case 2:
      if (right) {
        modifiers = (modifiers & ~keystate::kLeftAlt) | keystate::kRightAlt | keystate::kEnhanced;
        return Press(vk::kMenu, 56, 0, modifiers);
      }
      return Press(vk::kMenu, 56, 0, modifiers | keystate::kLeftAlt);
    default:
      return std::nullopt;
  }
}

/// The protocol's keypad keys (each apart from its twin in the separate
/// blocks or the main rows), F13 to F24, the lock keys, Pause and Menu.
std::optional<ConsoleEvent> FunctionalKeyPress(std::uint32_t code, std::uint32_t modifiers) {
  if (code >= protocol::kLeftShift && code <= protocol::kIsoLevel5Shift) {
    return ModifierKeyPress(code, modifiers);
  }
  if (code >= protocol::kKeypad0 && code <= protocol::kKeypadBegin) {
    // KP_0..KP_9, KP_DECIMAL, KP_DIVIDE, KP_MULTIPLY, KP_SUBTRACT, KP_ADD,
    // KP_ENTER, KP_EQUAL: the keypad in application mode by its final byte.
    static constexpr std::array<std::uint8_t, 17> kFinals = {
        'p', 'q', 'r', 's', 't', 'u', 'v', 'w', 'x', 'y', 'n', 'o', 'j', 'm', 'k', 'M', 'X'};
    const std::uint32_t index = code - protocol::kKeypad0;
    if (index < kFinals.size()) return KeypadPress(kFinals[index], modifiers);
    // KP_SEPARATOR, then the keys of the keypad with Num Lock off: no
    // enhanced keys, unlike their twins.
    static constexpr std::array<NamedKey, 11> kNumLockOff = {{
        {0, 0, false},
        {vk::kLeft, 75, false},
        {vk::kRight, 77, false},
        {vk::kUp, 72, false},
        {vk::kDown, 80, false},
        {vk::kPrior, 73, false},
        {vk::kNext, 81, false},
        {vk::kHome, 71, false},
        {vk::kEnd, 79, false},
        {vk::kInsert, 82, false},
        {vk::kDelete, 83, false},
    }};
    const std::size_t off = index - kFinals.size();
    if (off == 0) return std::nullopt;
    if (off < kNumLockOff.size()) return NamedPress(kNumLockOff[off], modifiers);
    return NamedPress(kKeypadCentre, modifiers);  // KP_BEGIN
  }
  if (code >= protocol::kF13 && code <= protocol::kF24) {
    static constexpr std::array<std::uint8_t, 12> kScans = {100, 101, 102, 103, 104, 105,
                                                            106, 107, 108, 109, 110, 118};
    const std::uint32_t index = code - protocol::kF13;
    return Press(static_cast<std::uint16_t>(vk::kF12 + 1 + index), kScans[index], 0, modifiers);
  }
  switch (code) {
    case protocol::kCapsLock:
      return Press(vk::kCapital, 58, 0, modifiers);
    case protocol::kScrollLock:
      return Press(vk::kScroll, 70, 0, modifiers);
    case protocol::kNumLock:
      return NamedPress(kNumLockKey, modifiers | keystate::kEnhanced);
    case protocol::kPause:
      return Press(vk::kPause, 69, 0, modifiers);
    case protocol::kMenu:
      return Press(vk::kApps, 93, 0, modifiers | keystate::kEnhanced);
    case protocol::kPrintScreen:  // the system takes it; a console never sees its press
    default:
      return std::nullopt;
  }
}

// ---- CSI sequences -------------------------------------------------------

/// ESC [ code ; modifiers:event ; text u. The key is the one of the code
/// point, or one of the protocol's own keys; the text, where the terminal
/// sends it, is the character the key types (on the user's layout), else
/// the character is the US layout's.
std::optional<ConsoleEvent> CsiUEvent(const Parameters& parameters, std::uint32_t extra) {
  if (!parameters.Given(0) || parameters.count > 3) return std::nullopt;
  const std::optional<KeyModifier> modifier = ModifierField(parameters, 1);
  if (!modifier) return std::nullopt;
  const std::uint32_t modifiers = modifier->modifiers | extra;
  const std::uint32_t code = parameters.Get(0, 0);
  if (code >= 0xE000 && code <= 0xF8FF) {
    const std::optional<ConsoleEvent> key = FunctionalKeyPress(code, modifiers);
    if (!key) return std::nullopt;
    return WithAction(*key, modifier->action);
  }
  // Surrogates are no characters.
  if (code >= 0xD800 && code <= 0xDFFF) return std::nullopt;
  ConsoleEvent event = CodePointPress(code, modifiers);
  if (parameters.Given(2)) {
    const std::uint32_t text = parameters.Get(2, 0);
    if (text >= 32 && text != 127 && !(text >= 0x80 && text < 0xA0)) {
      event.character = Cp437FromUnicode(text).value_or('?');
    }
  }
  return WithAction(event, modifier->action);
}

/// ESC [ n ~ and rxvt's ESC [ n ^ (Ctrl), ESC [ n @ (Ctrl+Shift) and
/// ESC [ n $ (Shift); `implied` holds what the final byte adds.
std::optional<ConsoleEvent> TildeEvent(const Parameters& parameters, std::uint32_t implied,
                                       std::uint32_t extra) {
  constexpr std::uint32_t kModifyOtherKeys = 27;
  if (!parameters.Given(0) || parameters.Given(0, 1)) return std::nullopt;
  const std::uint32_t number = parameters.Get(0, 0);
  if (number == kModifyOtherKeys && implied == 0) {
    if (parameters.count != 3 || !parameters.Given(2)) return std::nullopt;
    // ESC [ 27 ; m ; code ~ is ESC [ code ; m u in other words.
    Parameters key;
    key.count = 2;
    key.value[0][0] = parameters.Get(2, 0);
    key.given[0][0] = true;
    key.value[1][0] = parameters.Get(1, 1);
    key.given[1][0] = true;
    return CsiUEvent(key, extra);
  }
  if (parameters.count > 2) return std::nullopt;
  if (implied != 0 && parameters.count != 1) return std::nullopt;
  const std::optional<TildeKeyOf> key = TildeKey(number);
  if (!key) return std::nullopt;
  KeyModifier modifier;
  if (parameters.count == 2) {
    const std::optional<KeyModifier> given = ModifierField(parameters, 1);
    if (!given) return std::nullopt;
    modifier = *given;
  }
  return WithAction(NamedPress(key->key, modifier.modifiers | key->implied | implied | extra),
                    modifier.action);
}

/// The event of a complete CSI sequence: `body` lies between ESC [ and the
/// final byte.
std::optional<ConsoleEvent> CsiEvent(Bytes body, std::uint8_t final, std::uint32_t extra) {
  const std::optional<Parameters> parsed = ParseParameters(body);
  if (!parsed) return std::nullopt;
  const Parameters& parameters = *parsed;
  if (parameters.marker == '<') {
    if ((final != 'M' && final != 'm') || parameters.count != 3) return std::nullopt;
    return Other(ConsoleEventKind::kMouse, true);
  }
  if (parameters.marker != 0) return std::nullopt;

  switch (final) {
    case 'u':
      return CsiUEvent(parameters, extra);
    case '~':
      return TildeEvent(parameters, 0, extra);
    case '^':
      return TildeEvent(parameters, keystate::kLeftCtrl, extra);
    case '@':
      return TildeEvent(parameters, keystate::kLeftCtrl | keystate::kShift, extra);
    case 'I':
    case 'O':
      if (parameters.count != 0) return std::nullopt;
      return Other(ConsoleEventKind::kFocus, final == 'I');
    case 'M':  // the decimal mouse report: ESC [ b ; x ; y M
      if (parameters.count != 3) return std::nullopt;
      return Other(ConsoleEventKind::kMouse, true);
    case 'Z': {  // Shift+Tab
      const std::optional<KeyModifier> modifier = LetterModifier(parameters);
      if (!modifier) return std::nullopt;
      return WithAction(CodePointPress(9, modifier->modifiers | extra | keystate::kShift),
                        modifier->action);
    }
    default:
      break;
  }
  if (const std::optional<NamedKey> shifted = LowerArrowKey(final)) {
    if (parameters.count != 0) return std::nullopt;
    return NamedPress(*shifted, keystate::kShift | extra);
  }
  const std::optional<NamedKey> key = LetterKey(final);
  const std::optional<KeyModifier> modifier = LetterModifier(parameters);
  // ESC [ r ; c R with r other than 1 is a cursor position report.
  if (!key || !modifier) return std::nullopt;
  return WithAction(NamedPress(*key, modifier->modifiers | extra), modifier->action);
}

bool IsFinal(std::uint8_t c) { return c >= 0x40 && c <= 0x7E; }
bool IsParameterByte(std::uint8_t c) { return c >= 0x30 && c <= 0x3F; }
bool IsIntermediate(std::uint8_t c) { return c >= 0x20 && c <= 0x2F; }

/// Decodes `in`, which starts with ESC [. Nothing when the bytes after
/// ESC [ cannot continue a sequence: the two bytes then stand for
/// themselves.
std::optional<DecodeResult> DecodeCsi(Bytes in, bool moreMayFollow, std::uint32_t extra) {
  if (in.size() == 2) {
    if (moreMayFollow) return NeedMore();
    return std::nullopt;
  }
  const std::uint8_t first = in[2];
  if (first == '[') {  // the Linux console's F1..F5: ESC [ [ A..E
    if (in.size() == 3) return moreMayFollow ? NeedMore() : Discard(3);
    const std::uint8_t final = in[3];
    if (final >= 'A' && final <= 'E') {
      return Event(NamedPress(FunctionKey(final - 'A' + 1), extra), 4);
    }
    return Discard(IsFinal(final) ? 4 : 3);
  }
  if (first == 'M') {  // the X10 mouse report: ESC [ M and three bytes
    constexpr std::size_t kLength = 6;
    if (in.size() < kLength) return moreMayFollow ? NeedMore() : Discard(in.size());
    return Event(Other(ConsoleEventKind::kMouse, true), kLength);
  }
  if (first < 0x20 || first > 0x7E) return std::nullopt;

  std::size_t end = 2;
  while (end < in.size() && IsParameterByte(in[end])) {
    if (end >= kLongestSequence) return Discard(end);
    ++end;
  }
  if (end == in.size()) return moreMayFollow ? NeedMore() : Discard(end);
  const Bytes body = in.subspan(2, end - 2);
  if (IsIntermediate(in[end]) && in[2] >= '<' && in[2] <= '?') {
    // A private marker and intermediate bytes: a terminal's answer (such
    // as ESC [ ? 1 ; 2 $ y), never a key. It is dropped whole.
    std::size_t last = end;
    while (last < in.size() && IsIntermediate(in[last])) {
      if (last >= kLongestSequence) return Discard(last);
      ++last;
    }
    if (last == in.size()) return moreMayFollow ? NeedMore() : Discard(last);
    return Discard(IsFinal(in[last]) ? last + 1 : last);
  }
  if (IsIntermediate(in[end])) {
    // No key sends an intermediate byte but rxvt's Shift form ESC [ n $,
    // which it ends. Any other sequence with one is dropped up to and with
    // it, so that the byte after it, which may be a key, is never taken
    // for the sequence's final byte.
    const std::size_t length = end + 1;
    if (in[end] == '$') {
      const std::optional<Parameters> parameters = ParseParameters(body);
      if (parameters && parameters->marker == 0) {
        if (const std::optional<ConsoleEvent> event =
                TildeEvent(*parameters, keystate::kShift, extra)) {
          return Event(*event, length);
        }
      }
    }
    return Discard(length);
  }
  const std::uint8_t final = in[end];
  const std::size_t length = end + 1;
  if (!IsFinal(final)) return Discard(end);
  if (length > kLongestSequence) return Discard(length);
  const std::optional<ConsoleEvent> event = CsiEvent(body, final, extra);
  return event ? Event(*event, length) : Discard(length);
}

// ---- SS3 sequences -------------------------------------------------------

/// Decodes `in`, which starts with ESC O: cursor and function keys, and the
/// keypad in application mode, with an optional modifier ("ESC O 5 k").
std::optional<DecodeResult> DecodeSs3(Bytes in, bool moreMayFollow, std::uint32_t extra,
                                      TerminalFamily family) {
  std::size_t end = 2;
  while (end < in.size() && IsParameterByte(in[end])) {
    if (end >= kLongestSequence) return Discard(end);
    ++end;
  }
  if (end == in.size()) {
    if (moreMayFollow) return NeedMore();
    if (end == 2) return std::nullopt;
    return Discard(end);
  }
  const std::uint8_t final = in[end];
  const std::size_t length = end + 1;
  if (!IsFinal(final)) {
    if (end == 2) return std::nullopt;
    return Discard(end);
  }
  const std::optional<Parameters> parameters = ParseParameters(in.subspan(2, end - 2));
  if (!parameters || parameters->marker != 0 || parameters->count > 2) return Discard(length);
  const std::size_t modifierField = parameters->count == 2 ? 1 : 0;
  const std::uint32_t modifiers = ModifiersOf(parameters->Get(modifierField, 1)) | extra;

  if (SendsPfKeysFromKeypad(family)) {
    if (const std::optional<ConsoleEvent> key = PfKeyPress(final, modifiers)) {
      return Event(*key, length);
    }
  }
  // PuTTY sends Ctrl+arrows as ESC O A..D, its plain arrows as ESC [ A..D.
  if (family == TerminalFamily::kPutty && final >= 'A' && final <= 'D') {
    return Event(NamedPress(*LetterKey(final), modifiers | keystate::kLeftCtrl), length);
  }
  if (const std::optional<NamedKey> arrow = LowerArrowKey(final)) {  // rxvt's Ctrl+arrows
    return Event(NamedPress(*arrow, modifiers | keystate::kLeftCtrl), length);
  }
  if (const std::optional<ConsoleEvent> keypad = KeypadPress(final, modifiers)) {
    return Event(*keypad, length);
  }
  if (const std::optional<NamedKey> key = LetterKey(final)) {
    return Event(NamedPress(*key, modifiers), length);
  }
  return Discard(length);
}

// ---- plain bytes and UTF-8 -----------------------------------------------

/// Decodes one character at the start of `in`, which is not ESC.
DecodeResult DecodeCharacter(Bytes in, bool moreMayFollow, bool utf8, std::uint32_t extra) {
  const std::uint8_t lead = in[0];
  if (lead < 0x80) return Event(CodePointPress(lead, extra), 1);
  if (!utf8) return Event(CharacterPress(lead, extra), 1);

  std::size_t length = 0;
  char32_t code = 0;
  std::uint8_t lowest = 0x80;   // the range of the second byte, which rules out
  std::uint8_t highest = 0xBF;  // overlong forms, surrogates and too large codes
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
    if (lead == 0xE0) lowest = 0xA0;
    if (lead == 0xED) highest = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
    if (lead == 0xF0) lowest = 0x90;
    if (lead == 0xF4) highest = 0x8F;
  } else {
    return Discard(1);
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i == in.size()) return moreMayFollow ? NeedMore() : Discard(i);
    const std::uint8_t next = in[i];
    if (next < lowest || next > highest) return Discard(i);
    lowest = 0x80;
    highest = 0xBF;
    code = (code << 6) | (next & 0x3Fu);
  }
  return Event(CharacterPress(Cp437FromUnicode(code).value_or('?'), extra), length);
}

DecodeResult AddOne(DecodeResult result) {
  if (result.status != DecodeStatus::kNeedMore) ++result.consumed;
  return result;
}

/// Decodes `in`, which starts with ESC: a sequence, or a key with Alt.
DecodeResult DecodeEscape(Bytes in, bool moreMayFollow, bool utf8, TerminalFamily family) {
  if (in.size() == 1) {
    if (moreMayFollow) return NeedMore();
    return Event(CodePointPress(27, 0), 1);
  }
  const std::uint8_t second = in[1];
  if (second == '[' || second == 'O') {
    const std::optional<DecodeResult> sequence =
        second == '[' ? DecodeCsi(in, moreMayFollow, 0) : DecodeSs3(in, moreMayFollow, 0, family);
    if (sequence) return *sequence;
    return Event(CodePointPress(second, keystate::kLeftAlt), 2);
  }
  if (second == kEscape) {
    // ESC ESC [ ... : a sequence with Alt, as some terminals send Alt+Up.
    if (in.size() == 2 && moreMayFollow) return NeedMore();
    if (in.size() > 2 && (in[2] == '[' || in[2] == 'O')) {
      const Bytes rest = in.subspan(1);
      const std::optional<DecodeResult> sequence =
          in[2] == '[' ? DecodeCsi(rest, moreMayFollow, keystate::kLeftAlt)
                       : DecodeSs3(rest, moreMayFollow, keystate::kLeftAlt, family);
      if (sequence) return AddOne(*sequence);
    }
    return Event(CodePointPress(27, keystate::kLeftAlt), 2);
  }
  const DecodeResult key = DecodeCharacter(in.subspan(1), moreMayFollow, utf8, keystate::kLeftAlt);
  if (key.status == DecodeStatus::kDiscard) return Event(CodePointPress(27, 0), 1);
  return AddOne(key);
}

}  // namespace

TerminalFamily FamilyOfTerm(std::string_view term) {
  const auto startsWith = [term](std::string_view prefix) {
    return term.substr(0, prefix.size()) == prefix;
  };
  // The family name stands alone or before a '-' ("putty-256color").
  const auto family = [&](std::string_view name) {
    return startsWith(name) && (term.size() == name.size() || term[name.size()] == '-');
  };
  if (family("linux")) return TerminalFamily::kLinux;
  if (family("putty")) return TerminalFamily::kPutty;
  if (startsWith("rxvt"))
    return TerminalFamily::kRxvt;  // rxvt, rxvt-unicode, rxvt-unicode-256color
  if (family("screen") || startsWith("screen.") || family("tmux")) return TerminalFamily::kScreen;
  return TerminalFamily::kXterm;
}

bool ApplicationKeypadFits(TerminalFamily family) {
  return family == TerminalFamily::kXterm || family == TerminalFamily::kScreen;
}

DecodeResult DecodeTerminalInput(std::span<const std::uint8_t> pending, bool moreMayFollow,
                                 bool utf8, TerminalFamily family) {
  if (pending.empty()) return NeedMore();
  if (pending[0] == kEscape) return DecodeEscape(pending, moreMayFollow, utf8, family);
  return DecodeCharacter(pending, moreMayFollow, utf8, 0);
}

std::optional<CursorReport> FindCursorReport(std::span<const std::uint8_t> bytes) {
  constexpr std::size_t kMostDigits = 5;
  for (std::size_t start = 0; start + 1 < bytes.size(); ++start) {
    if (bytes[start] != kEscape || bytes[start + 1] != '[') continue;
    std::size_t at = start + 2;
    // Reads a number of one to five digits at `at`; 0 when there is none.
    auto number = [&]() {
      int value = 0;
      std::size_t digits = 0;
      while (at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9' && digits < kMostDigits) {
        value = value * 10 + (bytes[at] - '0');
        ++at;
        ++digits;
      }
      return digits == 0 ? 0 : value;
    };
    const int row = number();
    if (row == 0 || at >= bytes.size() || bytes[at] != ';') continue;
    ++at;
    const int column = number();
    if (column == 0 || at >= bytes.size() || bytes[at] != 'R') continue;
    return CursorReport{start, at + 1 - start, CellPosition{column, row}};
  }
  return std::nullopt;
}

std::optional<KeyboardFlagsReport> FindKeyboardFlagsReport(std::span<const std::uint8_t> bytes) {
  constexpr std::size_t kMostDigits = 5;
  for (std::size_t start = 0; start + 3 < bytes.size(); ++start) {
    if (bytes[start] != kEscape || bytes[start + 1] != '[' || bytes[start + 2] != '?') continue;
    std::size_t at = start + 3;
    std::uint32_t flags = 0;
    std::size_t digits = 0;
    while (at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9' && digits < kMostDigits) {
      flags = flags * 10 + static_cast<std::uint32_t>(bytes[at] - '0');
      ++at;
      ++digits;
    }
    if (digits == 0 || at >= bytes.size() || bytes[at] != 'u') continue;
    return KeyboardFlagsReport{start, at + 1 - start, flags};
  }
  return std::nullopt;
}

}  // namespace frame
