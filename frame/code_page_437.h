// Code page 437, the 8-bit character set of the consoles the tools were
// made for.
#ifndef CNC64_FRAME_CODE_PAGE_437_H_
#define CNC64_FRAME_CODE_PAGE_437_H_

#include <cstdint>
#include <optional>

namespace frame {

/// The Unicode code point of the glyph that code page 437 shows for `code`,
/// control codes included (1 is a smiling face, 9 a circle, 0 a blank).
char32_t Cp437Glyph(std::uint8_t code);

/// The code page 437 code of a Unicode character typed at a terminal, if
/// the code page holds it: the printable ASCII characters (32 to 126) are
/// themselves, and the characters of codes 128 to 255 give their code.
/// Control characters, and the glyphs that codes 0 to 31 and 127 show, give
/// none: typed, they would stand for keys rather than characters.
std::optional<std::uint8_t> Cp437FromUnicode(char32_t character);

}  // namespace frame

#endif  // CNC64_FRAME_CODE_PAGE_437_H_
