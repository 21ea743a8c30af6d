// The glyphs a terminal is sent for the codes of the cells.
#include "frame/terminal_glyphs.h"

#include "frame/code_page_437.h"

namespace frame {

void AppendUtf8(std::string& out, char32_t character) {
  const auto c = static_cast<std::uint32_t>(character);
  if (c < 0x80) {
    out += static_cast<char>(c);
    return;
  }
  constexpr std::array<std::uint32_t, 4> kLead = {0, 0xC0, 0xE0, 0xF0};
  const std::size_t tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  out += static_cast<char>(kLead[tail] | (c >> (6 * tail)));
  for (std::size_t i = tail; i-- > 0;) out += static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F));
}

bool IsShowable(char32_t c) {
  return (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF));
}

std::array<std::string, 256> GlyphTable(bool utf8) {
  std::array<std::string, 256> table;
  for (std::size_t code = 0; code < table.size(); ++code) {
    const auto byte = static_cast<std::uint8_t>(code);
    std::string& glyph = table[code];
    if (byte >= 32 && byte <= 126) {
      glyph = static_cast<char>(byte);
    } else if (const char32_t shown = Cp437Glyph(byte); utf8 && IsShowable(shown)) {
      AppendUtf8(glyph, shown);
    } else {
      glyph = '?';
    }
  }
  return table;
}

}  // namespace frame
