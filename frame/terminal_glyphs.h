// What a terminal is sent for each code that the frame draws in a cell.
// Portable: it only builds text.
#ifndef CNC64_FRAME_TERMINAL_GLYPHS_H_
#define CNC64_FRAME_TERMINAL_GLYPHS_H_

#include <array>
#include <cstdint>
#include <string>

namespace frame {

/// Appends `character` to `out` encoded as UTF-8.
void AppendUtf8(std::string& out, char32_t character);

/// A character that a terminal shows as itself: no control of C0 or C1, no
/// surrogate, within Unicode.
bool IsShowable(char32_t character);

/// The text a terminal is sent for each code of a cell: codes 32 to 126 as
/// themselves; every other code as its code page 437 glyph in UTF-8 where
/// the terminal speaks UTF-8, and as "?" elsewhere (or where the glyph is
/// no character a terminal shows as itself). No entry is ever a control
/// character.
std::array<std::string, 256> GlyphTable(bool utf8);

}  // namespace frame

#endif  // CNC64_FRAME_TERMINAL_GLYPHS_H_
