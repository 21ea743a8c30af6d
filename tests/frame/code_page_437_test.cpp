// Code page 437: the glyph of each code and the way back from Unicode.
#include "frame/code_page_437.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <set>
#include <vector>

namespace {

using frame::Cp437FromUnicode;
using frame::Cp437Glyph;

TEST(CodePage437, GlyphsOfSampleCodes) {
  struct Case {
    int code;
    char32_t glyph;
  };
  const std::vector<Case> cases = {
      {0, U' '},        {1, U'\u263A'},   {2, U'\u263B'},   {3, U'\u2665'},   {7, U'\u2022'},
      {8, U'\u25D8'},   {9, U'\u25CB'},   {10, U'\u25D9'},  {13, U'\u266A'},  {19, U'\u203C'},
      {20, U'\u00B6'},  {21, U'\u00A7'},  {27, U'\u2190'},  {31, U'\u25BC'},  {32, U' '},
      {'A', U'A'},      {'~', U'~'},      {127, U'\u2302'}, {128, U'\u00C7'}, {130, U'\u00E9'},
      {155, U'\u00A2'}, {158, U'\u20A7'}, {159, U'\u0192'}, {169, U'\u2310'}, {176, U'\u2591'},
      {179, U'\u2502'}, {197, U'\u253C'}, {201, U'\u2554'}, {219, U'\u2588'}, {223, U'\u2580'},
      {224, U'\u03B1'}, {225, U'\u00DF'}, {230, U'\u00B5'}, {236, U'\u221E'}, {249, U'\u2219'},
      {250, U'\u00B7'}, {252, U'\u207F'}, {254, U'\u25A0'}, {255, U'\u00A0'},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Cp437Glyph(static_cast<std::uint8_t>(c.code)), c.glyph) << c.code;
  }
}

TEST(CodePage437, EveryCodeShowsItsOwnGlyph) {
  std::set<char32_t> glyphs;
  for (int code = 1; code < 256; ++code) glyphs.insert(Cp437Glyph(static_cast<std::uint8_t>(code)));
  EXPECT_EQ(glyphs.size(), 255u) << "two codes share a glyph";
}

TEST(CodePage437, CharactersOfTheCodePageMapBackToTheirCodes) {
  for (int code = 32; code < 256; ++code) {
    if (code == 127) continue;
    const auto byte = static_cast<std::uint8_t>(code);
    EXPECT_EQ(Cp437FromUnicode(Cp437Glyph(byte)), std::optional<std::uint8_t>(byte)) << code;
  }
}

TEST(CodePage437, OtherCharactersHaveNoCode) {
  const std::vector<char32_t> others = {
      U'\0',     U'\t',     U'\x1B',   U'\x7F',   U'\x80',   U'\u00C0',
      U'\u263A', U'\u2302', U'\u20AC', U'\u03B2', U'\uFFFD', U'\U0001F600',
  };
  for (char32_t character : others) {
    EXPECT_FALSE(Cp437FromUnicode(character).has_value()) << static_cast<std::uint32_t>(character);
  }
}

}  // namespace
