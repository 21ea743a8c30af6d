// Rules of the Windows back ends that need no Windows call.
#include "frame/windows_rules.h"

#include <cstddef>

#include "frame/code_page_437.h"

namespace frame::windows {
namespace {

// System error numbers, as the Windows headers give them.
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorLockViolation = 33;
constexpr std::uint32_t kErrorBrokenPipe = 109;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::uint32_t KeyCodePage(std::uint32_t consoleCodePage, bool singleByte) {
  return singleByte && consoleCodePage != 0 ? consoleCodePage : kFallbackCodePage;
}

PageCharacters Cp437Characters() {
  PageCharacters page{};
  for (std::size_t byte = 0; byte < page.size(); ++byte) {
    page[byte] = byte < 0x80 ? static_cast<char16_t>(byte)
                             : static_cast<char16_t>(Cp437Glyph(static_cast<std::uint8_t>(byte)));
  }
  return page;
}

std::optional<std::uint8_t> KeyByte(char16_t unit, const PageCharacters& page) {
  if (unit < 0x80) return static_cast<std::uint8_t>(unit);
  if (IsLowSurrogate(unit)) return std::nullopt;
  if (IsHighSurrogate(unit)) return static_cast<std::uint8_t>('?');
  for (std::size_t byte = 0x80; byte < page.size(); ++byte) {
    if (page[byte] == unit) return static_cast<std::uint8_t>(byte);
  }
  // Some pages put characters below 128 in place of ASCII ones.
  for (std::size_t byte = 1; byte < 0x80; ++byte) {
    if (page[byte] == unit) return static_cast<std::uint8_t>(byte);
  }
  return static_cast<std::uint8_t>('?');
}

std::array<char16_t, 256> CellCharacters(const PageCharacters* page) {
  std::array<char16_t, 256> cells{};
  for (std::size_t byte = 0; byte < cells.size(); ++byte) {
    if (page == nullptr) {
      cells[byte] = static_cast<char16_t>(Cp437Glyph(static_cast<std::uint8_t>(byte)));
    } else {
      const char16_t character = (*page)[byte];
      cells[byte] = character != 0 || byte == 0 ? character : u'?';
    }
  }
  return cells;
}

bool RetryOpen(std::uint32_t error, std::uint32_t elapsedMs) {
  const bool held = error == kErrorSharingViolation || error == kErrorLockViolation;
  return held && elapsedMs < kSharingRetryMs;
}

PeekFailure OnPeekFailure(std::uint32_t error) {
  return error == kErrorBrokenPipe ? PeekFailure::kEndOfInput : PeekFailure::kReadInstead;
}

}  // namespace frame::windows
