// The invariants that the fuzz targets check, as plain functions over one
// input each, so that the fuzzers (built with clang and libFuzzer) and the
// corpus replay in the unit tests run exactly the same checks. Each gives
// an empty text when every invariant holds and otherwise what broke.
#ifndef CNC64_TESTS_FUZZ_FUZZ_CHECKS_H_
#define CNC64_TESTS_FUZZ_FUZZ_CHECKS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "frame/terminal_decoder.h"

namespace fuzz_checks {

/// One call of a terminal decoder with its options already bound.
using TerminalDecoder =
    std::function<frame::DecodeResult(std::span<const std::uint8_t> pending, bool moreMayFollow)>;

/// The decoder's invariants for one burst of bytes that arrives in reads of
/// the given sizes (the last read takes whatever is left):
/// - every result consumes between 1 and the bytes given, except "need
///   more", which consumes none and comes only while more may follow;
/// - the reads give the same events, in order, as the whole burst;
/// - a printable ASCII byte where a result starts gives exactly one key
///   press with that character;
/// - decoding ends (every step consumes something or waits for a read).
std::string CheckDecoder(const TerminalDecoder& decode, std::span<const std::uint8_t> burst,
                         std::span<const std::size_t> readSizes);

/// A fuzz input for the terminal decoder: byte 0 holds the options (bit 0:
/// UTF-8; bits 1 to 3, modulo 5: the terminal family), byte
/// 1 the number n (mod 8) of read sizes, the next n bytes the read sizes
/// (each plus 1), the rest the burst.
std::string CheckTerminalDecoderInput(std::span<const std::uint8_t> input);

/// The command-line splitter over a line of UTF-16 units, two bytes each
/// (little-endian): argument 0 always exists, no double quote is part of an
/// argument, the arguments hold exactly the line's characters without its
/// quotes and unquoted separators, in order, and quoting every argument and
/// splitting the result again gives the same arguments.
std::string CheckCommandLineInput(std::span<const std::uint8_t> input);

/// The key rules over console events of 8 bytes each (kind, pressed,
/// virtual key low and high, scan code, character, modifiers low and
/// high), fed through a fake console one at a time: each event gives at
/// most two codes, every waiting event is drained, and once the input has
/// ended every read gives 27.
std::string CheckKeyRulesInput(std::span<const std::uint8_t> input);

}  // namespace fuzz_checks

#endif  // CNC64_TESTS_FUZZ_FUZZ_CHECKS_H_
