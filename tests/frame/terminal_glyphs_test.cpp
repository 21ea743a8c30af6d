// The glyphs a terminal is sent for the codes of the cells.
#include "frame/terminal_glyphs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using frame::AppendUtf8;
using frame::GlyphTable;

TEST(TerminalGlyphs, AppendUtf8EncodesEveryLength) {
  struct Case {
    char32_t character;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {U'A', "A"},
      {U'\u00E9', "\xC3\xA9"},
      {U'\u07FF', "\xDF\xBF"},
      {U'\u0800', "\xE0\xA0\x80"},
      {U'\u263A', "\xE2\x98\xBA"},
      {U'\U0001F600', "\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    AppendUtf8(out, c.character);
    EXPECT_EQ(out, "x" + c.bytes) << static_cast<std::uint32_t>(c.character);
  }
}

TEST(TerminalGlyphs, TablesByLocale) {
  struct Case {
    int code;
    std::string utf8;
    std::string other;
  };
  const std::vector<Case> cases = {
      {'a', "a", "a"},
      {'~', "~", "~"},
      {' ', " ", " "},
      {0, " ", "?"},               // a blank glyph, but not printable ASCII
      {1, "\xE2\x98\xBA", "?"},    // smiling face
      {9, "\xE2\x97\x8B", "?"},    // a tab is drawn, never expanded
      {27, "\xE2\x86\x90", "?"},   // Escape never reaches the terminal
      {127, "\xE2\x8C\x82", "?"},  // house
      {128, "\xC3\x87", "?"},      // C cedilla
      {155, "\xC2\xA2", "?"},      // cent: code 155 is CSI in 8-bit C1
      {255, "\xC2\xA0", "?"},      // no-break space
  };
  const auto utf8 = GlyphTable(true);
  const auto other = GlyphTable(false);
  for (const Case& c : cases) {
    EXPECT_EQ(utf8[static_cast<std::size_t>(c.code)], c.utf8) << c.code;
    EXPECT_EQ(other[static_cast<std::size_t>(c.code)], c.other) << c.code;
  }
}

// No entry of either table may act on the terminal: no C0 control, no
// DEL, no C1 control (raw, or encoded in UTF-8), and every entry is one
// glyph.
TEST(TerminalGlyphs, NoEntryIsAControl) {
  for (const bool utf8 : {true, false}) {
    const auto table = GlyphTable(utf8);
    for (std::size_t code = 0; code < table.size(); ++code) {
      const std::string& glyph = table[code];
      ASSERT_FALSE(glyph.empty()) << code;
      for (std::size_t i = 0; i < glyph.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(glyph[i]);
        EXPECT_TRUE(byte >= 0x20 && byte != 0x7F) << code;
        if (!utf8) {
          EXPECT_LT(byte, 0x80) << code;
        }
        if (byte == 0xC2 && i + 1 < glyph.size()) {
          EXPECT_GE(static_cast<std::uint8_t>(glyph[i + 1]), 0xA0) << "C1 control for " << code;
        }
      }
    }
  }
}

}  // namespace
