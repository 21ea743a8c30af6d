// The Windows back ends' portable rules: key characters to bytes of a code
// page, bytes to the characters drawn in cells, the sharing retry and the
// pipe peek.
#include "frame/windows_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace {

namespace win = frame::windows;

// Code page 1252 where it differs from Latin-1, enough for the tests: 0x80
// is the euro sign, 0x81 undefined, 0xE9 e with acute.
win::PageCharacters Windows1252() {
  win::PageCharacters page{};
  for (std::size_t byte = 0; byte < page.size(); ++byte) page[byte] = static_cast<char16_t>(byte);
  page[0x80] = u'\u20AC';
  page[0x81] = 0;
  page[0x9C] = u'\u0153';
  return page;
}

TEST(WindowsKeyBytes, ConsoleCodePageOr437WhereThePageIsMultiByte) {
  EXPECT_EQ(win::KeyCodePage(850, true), 850u);
  EXPECT_EQ(win::KeyCodePage(1252, true), 1252u);
  EXPECT_EQ(win::KeyCodePage(65001, false), 437u);
  EXPECT_EQ(win::KeyCodePage(932, false), 437u);
  EXPECT_EQ(win::KeyCodePage(0, true), 437u);  // no console code page to be had
}

TEST(WindowsKeyBytes, EachCharacterIsOneByteOfThePage) {
  struct Case {
    char16_t unit;
    std::optional<std::uint8_t> in437;
    std::optional<std::uint8_t> in1252;
  };
  const std::vector<Case> cases = {
      {u'a', 'a', 'a'},
      {0, 0, 0},  // a key without a character
      {1, 1, 1},  // Ctrl+A
      {27, 27, 27},
      {u'\u00E9', 130, 0xE9},  // e with acute: one byte, not two
      {u'\u00C7', 128, 0xC7},
      {u'\u2588', 219, '?'},   // full block
      {u'\u20AC', '?', 0x80},  // the euro sign
      {u'\u0153', '?', 0x9C},
      {u'\u4E16', '?', '?'},                 // in neither page
      {u'\u263A', '?', '?'},                 // a glyph of 437's control codes is no key's character
      {0xD83D, '?', '?'},                    // a character beyond the basic plane: one '?' ...
      {0xDE00, std::nullopt, std::nullopt},  // ... and nothing for its second half
  };
  const win::PageCharacters cp437 = win::Cp437Characters();
  const win::PageCharacters cp1252 = Windows1252();
  for (const Case& c : cases) {
    EXPECT_EQ(win::KeyByte(c.unit, cp437), c.in437) << static_cast<int>(c.unit);
    EXPECT_EQ(win::KeyByte(c.unit, cp1252), c.in1252) << static_cast<int>(c.unit);
  }
}

TEST(WindowsCellCharacters, OneCellPerByteInEveryCodePage) {
  // Multi-byte output page (UTF-8 among them): code page 437's glyphs.
  const auto glyphs = win::CellCharacters(nullptr);
  EXPECT_EQ(glyphs['A'], u'A');
  EXPECT_EQ(glyphs[' '], u' ');
  EXPECT_EQ(glyphs[1], u'\u263A');
  EXPECT_EQ(glyphs[130], u'\u00E9');
  EXPECT_EQ(glyphs[219], u'\u2588');
  EXPECT_EQ(glyphs[255], u'\u00A0');
  for (char16_t cell : glyphs) {
    EXPECT_NE(cell, u'\uFFFD');
    EXPECT_FALSE(cell >= 0xD800 && cell <= 0xDFFF);
  }
  // A single-byte page: its own characters, '?' for a byte it lacks.
  const win::PageCharacters cp1252 = Windows1252();
  const auto cells = win::CellCharacters(&cp1252);
  EXPECT_EQ(cells['A'], u'A');
  EXPECT_EQ(cells[0x80], u'\u20AC');
  EXPECT_EQ(cells[0x81], u'?');
  EXPECT_EQ(cells[0xE9], u'\u00E9');
  EXPECT_EQ(cells[0], 0);
  const win::PageCharacters cp437 = win::Cp437Characters();
  EXPECT_EQ(win::CellCharacters(&cp437)[130], u'\u00E9');
}

TEST(WindowsSharingRetry, OnlyASharingOrLockViolationIsTriedAgainForAboutTwoSeconds) {
  constexpr std::uint32_t kSharingViolation = 32;
  constexpr std::uint32_t kLockViolation = 33;
  constexpr std::uint32_t kAccessDenied = 5;
  constexpr std::uint32_t kFileNotFound = 2;
  EXPECT_TRUE(win::RetryOpen(kSharingViolation, 0));
  EXPECT_TRUE(win::RetryOpen(kSharingViolation, 1900));
  EXPECT_TRUE(win::RetryOpen(kLockViolation, 1000));
  EXPECT_FALSE(win::RetryOpen(kSharingViolation, 2000));
  EXPECT_FALSE(win::RetryOpen(kSharingViolation, 5000));
  EXPECT_FALSE(win::RetryOpen(kAccessDenied, 0));
  EXPECT_FALSE(win::RetryOpen(kFileNotFound, 0));
}

TEST(WindowsPipePeek, OnlyABrokenPipeEndsTheInput) {
  constexpr std::uint32_t kBrokenPipe = 109;
  constexpr std::uint32_t kInvalidFunction = 1;
  constexpr std::uint32_t kNotSupported = 50;
  constexpr std::uint32_t kAccessDenied = 5;
  EXPECT_EQ(win::OnPeekFailure(kBrokenPipe), win::PeekFailure::kEndOfInput);
  EXPECT_EQ(win::OnPeekFailure(kInvalidFunction), win::PeekFailure::kReadInstead);
  EXPECT_EQ(win::OnPeekFailure(kNotSupported), win::PeekFailure::kReadInstead);
  EXPECT_EQ(win::OnPeekFailure(kAccessDenied), win::PeekFailure::kReadInstead);
}

}  // namespace
