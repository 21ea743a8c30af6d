// The table of extended key codes. A key is named by its set-1 scan code
// and whether it is an enhanced key; each entry gives the codes with Shift,
// with Ctrl and with Alt, and -1 where the convention puts no extended code
// (the key's scan code is then used). Without a modifier the code is the
// scan code, except for F11 and F12.
#include "frame/second_codes.h"

#include <array>

#include "frame/console_port.h"

namespace frame {
namespace {

struct KeyCodes {
  std::uint8_t scan;
  bool enhanced;
  std::int16_t plain;
  std::int16_t shift;
  std::int16_t ctrl;
  std::int16_t alt;
};

constexpr std::int16_t kNone = -1;

constexpr std::array<KeyCodes, 83> kTable = {{
    // Escape and the function keys.
    {1, false, kNone, kNone, kNone, 1},
    {59, false, kNone, 84, 94, 104},
    {60, false, kNone, 85, 95, 105},
    {61, false, kNone, 86, 96, 106},
    {62, false, kNone, 87, 97, 107},
    {63, false, kNone, 88, 98, 108},
    {64, false, kNone, 89, 99, 109},
    {65, false, kNone, 90, 100, 110},
    {66, false, kNone, 91, 101, 111},
    {67, false, kNone, 92, 102, 112},
    {68, false, kNone, 93, 103, 113},
    {87, false, 133, 135, 137, 139},
    {88, false, 134, 136, 138, 140},
    // The main row: Alt+1 .. Alt+=, Ctrl+2.
    {2, false, kNone, kNone, kNone, 120},
    {3, false, kNone, kNone, 3, 121},
    {4, false, kNone, kNone, kNone, 122},
    {5, false, kNone, kNone, kNone, 123},
    {6, false, kNone, kNone, kNone, 124},
    {7, false, kNone, kNone, kNone, 125},
    {8, false, kNone, kNone, kNone, 126},
    {9, false, kNone, kNone, kNone, 127},
    {10, false, kNone, kNone, kNone, 128},
    {11, false, kNone, kNone, kNone, 129},
    {12, false, kNone, kNone, kNone, 130},
    {13, false, kNone, kNone, kNone, 131},
    {14, false, kNone, kNone, kNone, 14},  // Backspace
    {15, false, kNone, 15, 148, 165},      // Tab
    // Letters and punctuation: Alt gives the scan code.
    {16, false, kNone, kNone, kNone, 16},
    {17, false, kNone, kNone, kNone, 17},
    {18, false, kNone, kNone, kNone, 18},
    {19, false, kNone, kNone, kNone, 19},
    {20, false, kNone, kNone, kNone, 20},
    {21, false, kNone, kNone, kNone, 21},
    {22, false, kNone, kNone, kNone, 22},
    {23, false, kNone, kNone, kNone, 23},
    {24, false, kNone, kNone, kNone, 24},
    {25, false, kNone, kNone, kNone, 25},
    {26, false, kNone, kNone, kNone, 26},
    {27, false, kNone, kNone, kNone, 27},
    {28, false, kNone, kNone, kNone, 28},  // main Enter
    {30, false, kNone, kNone, kNone, 30},
    {31, false, kNone, kNone, kNone, 31},
    {32, false, kNone, kNone, kNone, 32},
    {33, false, kNone, kNone, kNone, 33},
    {34, false, kNone, kNone, kNone, 34},
    {35, false, kNone, kNone, kNone, 35},
    {36, false, kNone, kNone, kNone, 36},
    {37, false, kNone, kNone, kNone, 37},
    {38, false, kNone, kNone, kNone, 38},
    {39, false, kNone, kNone, kNone, 39},
    {40, false, kNone, kNone, kNone, 40},
    {41, false, kNone, kNone, kNone, 41},
    {43, false, kNone, kNone, kNone, 43},
    {44, false, kNone, kNone, kNone, 44},
    {45, false, kNone, kNone, kNone, 45},
    {46, false, kNone, kNone, kNone, 46},
    {47, false, kNone, kNone, kNone, 47},
    {48, false, kNone, kNone, kNone, 48},
    {49, false, kNone, kNone, kNone, 49},
    {50, false, kNone, kNone, kNone, 50},
    {51, false, kNone, kNone, kNone, 51},
    {52, false, kNone, kNone, kNone, 52},
    {53, false, kNone, kNone, kNone, 53},
    // The grey keys of the separate blocks.
    {82, true, kNone, kNone, 146, 162},  // Insert
    {83, true, kNone, kNone, 147, 163},  // Delete
    {71, true, kNone, kNone, 119, 151},  // Home
    {79, true, kNone, kNone, 117, 159},  // End
    {73, true, kNone, kNone, 132, 153},  // Page Up
    {81, true, kNone, kNone, 118, 161},  // Page Down
    {72, true, kNone, kNone, 141, 152},  // Up
    {80, true, kNone, kNone, 145, 160},  // Down
    {75, true, kNone, kNone, 115, 155},  // Left
    {77, true, kNone, kNone, 116, 157},  // Right
    // The keypad with Num Lock off. Only its digits with Num Lock on feed
    // the Alt number entry (the key rules take those before this table);
    // with Num Lock off, Alt with a keypad key is a special key, and the
    // convention having no code for it, its code is the scan code.
    {71, false, kNone, kNone, 119, kNone},
    {72, false, kNone, kNone, 141, kNone},
    {73, false, kNone, kNone, 132, kNone},
    {75, false, kNone, kNone, 115, kNone},
    {76, false, kNone, kNone, 143, kNone},
    {77, false, kNone, kNone, 116, kNone},
    {79, false, kNone, kNone, 117, kNone},
    {80, false, kNone, kNone, 145, kNone},
    {81, false, kNone, kNone, 118, kNone},
    {82, false, kNone, kNone, 146, kNone},
}};

// Keys whose entries would not fit the ordering above.
constexpr std::array<KeyCodes, 6> kKeypadOperators = {{
    {83, false, kNone, kNone, 147, kNone},  // keypad . / Del
    {53, true, kNone, kNone, 149, 164},     // keypad /
    {55, false, kNone, kNone, 150, 55},     // keypad *
    {74, false, kNone, kNone, 142, 74},     // keypad -
    {78, false, kNone, kNone, 78, 78},      // keypad +: Ctrl gives its scan code, not 144
    {28, true, kNone, kNone, kNone, 166},   // keypad Enter
}};

const KeyCodes* Find(std::uint16_t scan, bool enhanced) {
  for (const KeyCodes& k : kTable) {
    if (k.scan == scan && k.enhanced == enhanced) return &k;
  }
  for (const KeyCodes& k : kKeypadOperators) {
    if (k.scan == scan && k.enhanced == enhanced) return &k;
  }
  return nullptr;
}

}  // namespace

std::uint8_t SecondCode(std::uint16_t scanCode, bool enhanced, std::uint32_t modifiers) {
  const auto scan = static_cast<std::uint8_t>(scanCode);
  const KeyCodes* key = Find(scanCode, enhanced);
  if (key == nullptr) return scan;
  std::int16_t code = key->plain;
  if ((modifiers & keystate::kAnyAlt) != 0) {
    code = key->alt;
  } else if ((modifiers & keystate::kAnyCtrl) != 0) {
    code = key->ctrl;
  } else if ((modifiers & keystate::kShift) != 0) {
    code = key->shift;
  }
  return code == kNone ? scan : static_cast<std::uint8_t>(code);
}

}  // namespace frame
