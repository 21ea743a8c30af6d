// The glyphs of code page 437 as Unicode code points, and the way back for
// the characters a terminal sends.
#include "frame/code_page_437.h"

#include <array>
#include <cstddef>

namespace frame {
namespace {

// Codes 0 to 31: the pictures the display shows for the control codes.
constexpr std::array<char32_t, 32> kLowGlyphs = {
    U'\u0020', U'\u263A', U'\u263B', U'\u2665', U'\u2666', U'\u2663', U'\u2660', U'\u2022',
    U'\u25D8', U'\u25CB', U'\u25D9', U'\u2642', U'\u2640', U'\u266A', U'\u266B', U'\u263C',
    U'\u25BA', U'\u25C4', U'\u2195', U'\u203C', U'\u00B6', U'\u00A7', U'\u25AC', U'\u21A8',
    U'\u2191', U'\u2193', U'\u2192', U'\u2190', U'\u221F', U'\u2194', U'\u25B2', U'\u25BC',
};

// Codes 128 to 255: accented letters, box drawing, Greek and mathematics.
constexpr std::array<char32_t, 128> kHighGlyphs = {
    // 0x80
    U'\u00C7',
    U'\u00FC',
    U'\u00E9',
    U'\u00E2',
    U'\u00E4',
    U'\u00E0',
    U'\u00E5',
    U'\u00E7',
    U'\u00EA',
    U'\u00EB',
    U'\u00E8',
    U'\u00EF',
    U'\u00EE',
    U'\u00EC',
    U'\u00C4',
    U'\u00C5',
    // 0x90
    U'\u00C9',
    U'\u00E6',
    U'\u00C6',
    U'\u00F4',
    U'\u00F6',
    U'\u00F2',
    U'\u00FB',
    U'\u00F9',
    U'\u00FF',
    U'\u00D6',
    U'\u00DC',
    U'\u00A2',
    U'\u00A3',
    U'\u00A5',
    U'\u20A7',
    U'\u0192',
    // 0xA0
    U'\u00E1',
    U'\u00ED',
    U'\u00F3',
    U'\u00FA',
    U'\u00F1',
    U'\u00D1',
    U'\u00AA',
    U'\u00BA',
    U'\u00BF',
    U'\u2310',
    U'\u00AC',
    U'\u00BD',
    U'\u00BC',
    U'\u00A1',
    U'\u00AB',
    U'\u00BB',
    // 0xB0
    U'\u2591',
    U'\u2592',
    U'\u2593',
    U'\u2502',
    U'\u2524',
    U'\u2561',
    U'\u2562',
    U'\u2556',
    U'\u2555',
    U'\u2563',
    U'\u2551',
    U'\u2557',
    U'\u255D',
    U'\u255C',
    U'\u255B',
    U'\u2510',
    // 0xC0
    U'\u2514',
    U'\u2534',
    U'\u252C',
    U'\u251C',
    U'\u2500',
    U'\u253C',
    U'\u255E',
    U'\u255F',
    U'\u255A',
    U'\u2554',
    U'\u2569',
    U'\u2566',
    U'\u2560',
    U'\u2550',
    U'\u256C',
    U'\u2567',
    // 0xD0
    U'\u2568',
    U'\u2564',
    U'\u2565',
    U'\u2559',
    U'\u2558',
    U'\u2552',
    U'\u2553',
    U'\u256B',
    U'\u256A',
    U'\u2518',
    U'\u250C',
    U'\u2588',
    U'\u2584',
    U'\u258C',
    U'\u2590',
    U'\u2580',
    // 0xE0
    U'\u03B1',
    U'\u00DF',
    U'\u0393',
    U'\u03C0',
    U'\u03A3',
    U'\u03C3',
    U'\u00B5',
    U'\u03C4',
    U'\u03A6',
    U'\u0398',
    U'\u03A9',
    U'\u03B4',
    U'\u221E',
    U'\u03C6',
    U'\u03B5',
    U'\u2229',
    // 0xF0
    U'\u2261',
    U'\u00B1',
    U'\u2265',
    U'\u2264',
    U'\u2320',
    U'\u2321',
    U'\u00F7',
    U'\u2248',
    U'\u00B0',
    U'\u2219',
    U'\u00B7',
    U'\u221A',
    U'\u207F',
    U'\u00B2',
    U'\u25A0',
    U'\u00A0',
};

// Code 127 shows a house.
constexpr char32_t kDeleteGlyph = U'\u2302';

}  // namespace

char32_t Cp437Glyph(std::uint8_t code) {
  if (code < kLowGlyphs.size()) return kLowGlyphs[code];
  if (code < 127) return static_cast<char32_t>(code);
  if (code == 127) return kDeleteGlyph;
  return kHighGlyphs[static_cast<std::size_t>(code - 128)];
}

std::optional<std::uint8_t> Cp437FromUnicode(char32_t character) {
  if (character >= U' ' && character <= U'~') return static_cast<std::uint8_t>(character);
  for (std::size_t i = 0; i < kHighGlyphs.size(); ++i) {
    if (kHighGlyphs[i] == character) return static_cast<std::uint8_t>(128 + i);
  }
  return std::nullopt;
}

}  // namespace frame
