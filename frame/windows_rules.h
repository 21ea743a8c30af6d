// Rules of the Windows back ends that need no Windows call: how console
// characters become bytes of a code page and back, and when a refused
// open or a failed pipe peek is final. Portable, so that they are tested
// on every platform.
#ifndef CNC64_FRAME_WINDOWS_RULES_H_
#define CNC64_FRAME_WINDOWS_RULES_H_

#include <array>
#include <cstdint>
#include <optional>

namespace frame::windows {

/// The code page the console's key characters are turned into: the
/// console's input code page, or 437 where that page is multi-byte (UTF-8
/// among them), since there one key would give several bytes.
inline constexpr std::uint32_t kFallbackCodePage = 437;
std::uint32_t KeyCodePage(std::uint32_t consoleCodePage, bool singleByte);

/// The characters of a single-byte code page: entry b is the UTF-16
/// character of byte b, 0 where the page gives byte b (other than 0) none.
using PageCharacters = std::array<char16_t, 256>;

/// Code page 437 as `PageCharacters`: 0 to 127 as themselves, 128 to 255
/// as their glyphs.
PageCharacters Cp437Characters();

/// The byte of a UTF-16 character read from the console, in `page`: ASCII
/// as itself, another character as the page's byte for it, '?' where the
/// page has none. A surrogate pair gives one '?', on its first half; the
/// second half gives nothing.
std::optional<std::uint8_t> KeyByte(char16_t unit, const PageCharacters& page);

/// What is drawn in a cell for each byte the frame writes: the output code
/// page's character where that page is single-byte (`page`), and the code
/// page 437 glyph where it is multi-byte or unknown (no `page`), so that
/// one byte is always one cell. A byte the page does not define is '?'.
std::array<char16_t, 256> CellCharacters(const PageCharacters* page);

/// How long an open refused by a sharing violation is tried again, and
/// the pause between tries: a file another program holds for a moment
/// (an upload of a file just saved, a virus scan, a backup) opens once it
/// lets go.
inline constexpr std::uint32_t kSharingRetryMs = 2000;
inline constexpr std::uint32_t kSharingRetryStepMs = 100;
/// Whether an open that failed with the system error `error`, `elapsedMs`
/// after the first try, is tried again.
bool RetryOpen(std::uint32_t error, std::uint32_t elapsedMs);

/// What a failed peek at a pipe means: only a pipe whose writer is gone has
/// ended; any other failure (a pipe that cannot be peeked at) is answered
/// by reading, which may wait.
enum class PeekFailure : std::uint8_t { kEndOfInput, kReadInstead };
PeekFailure OnPeekFailure(std::uint32_t error);

}  // namespace frame::windows

#endif  // CNC64_FRAME_WINDOWS_RULES_H_
