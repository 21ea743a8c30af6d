// Second codes of special keys, after the IBM PC BIOS keyboard convention.
#ifndef CNC64_FRAME_SECOND_CODES_H_
#define CNC64_FRAME_SECOND_CODES_H_

#include <cstdint>

namespace frame {

/// The second code of a special key: the key's extended code for the
/// modifiers held (Alt before Ctrl before Shift), its scan code where the
/// convention gives none. `enhanced` tells the grey keys, keypad / and
/// keypad Enter from the keys that share their scan codes.
std::uint8_t SecondCode(std::uint16_t scanCode, bool enhanced, std::uint32_t modifiers);

}  // namespace frame

#endif  // CNC64_FRAME_SECOND_CODES_H_
