#include "tests/fuzz/fuzz_checks.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/command_line.h"
#include "frame/console_port.h"
#include "frame/frame_state.h"
#include "frame/terminal_decoder.h"
#include "frame/tool_frame.h"
#include "tests/support/fake_console.h"
#include "tests/support/fake_files.h"

namespace fuzz_checks {
namespace {

using frame::ConsoleEvent;
using frame::ConsoleEventKind;
using frame::DecodeResult;
using frame::DecodeStatus;

bool SameEvent(const ConsoleEvent& a, const ConsoleEvent& b) {
  return a.kind == b.kind && a.pressed == b.pressed && a.virtualKey == b.virtualKey &&
         a.scanCode == b.scanCode && a.character == b.character && a.modifiers == b.modifiers;
}

std::string Describe(const ConsoleEvent& e) {
  return "{kind " + std::to_string(static_cast<int>(e.kind)) + ", pressed " +
         std::to_string(e.pressed) + ", vk " + std::to_string(e.virtualKey) + ", scan " +
         std::to_string(e.scanCode) + ", char " + std::to_string(e.character) + ", mods " +
         std::to_string(e.modifiers) + "}";
}

// Feeds the burst to the decoder as a console back end does: bytes gather
// in a buffer, each read is decoded as far as it goes while more may
// follow, and once the reads are over the rest is decoded with nothing
// more to come. Discarded bytes give no event.
std::string DecodeInReads(const TerminalDecoder& decode, std::span<const std::uint8_t> burst,
                          std::span<const std::size_t> readSizes,
                          std::vector<ConsoleEvent>& events) {
  std::vector<std::uint8_t> pending;
  std::size_t given = 0;
  std::size_t read = 0;
  auto drain = [&](bool moreMayFollow) -> std::string {
    // Each step consumes a byte or stops, so this bound is never reached
    // by a decoder that keeps its contract.
    for (std::size_t steps = 0; !pending.empty(); ++steps) {
      if (steps > burst.size()) return "decoding does not end";
      const DecodeResult result = decode(pending, moreMayFollow);
      if (result.status == DecodeStatus::kNeedMore) {
        if (result.consumed != 0) return "\"need more\" consumed bytes";
        if (!moreMayFollow) return "\"need more\" when nothing more can follow";
        return {};
      }
      if (result.consumed < 1 || result.consumed > pending.size()) {
        return "a result consumed " + std::to_string(result.consumed) + " of " +
               std::to_string(pending.size()) + " bytes";
      }
      const std::uint8_t first = pending.front();
      if (first >= 0x20 && first <= 0x7E) {
        if (result.status != DecodeStatus::kEvent || result.consumed != 1 ||
            result.event.kind != ConsoleEventKind::kKey || !result.event.pressed ||
            result.event.character != first) {
          return "the printable byte " + std::to_string(first) + " gave status " +
                 std::to_string(static_cast<int>(result.status)) + ", consumed " +
                 std::to_string(result.consumed) + ", event " + Describe(result.event);
        }
      }
      if (result.status == DecodeStatus::kEvent) events.push_back(result.event);
      pending.erase(pending.begin(),
                    pending.begin() + static_cast<std::ptrdiff_t>(result.consumed));
    }
    return {};
  };
  while (given < burst.size()) {
    std::size_t size = burst.size() - given;
    if (read < readSizes.size()) size = std::min(size, readSizes[read++]);
    pending.insert(pending.end(), burst.begin() + static_cast<std::ptrdiff_t>(given),
                   burst.begin() + static_cast<std::ptrdiff_t>(given + size));
    given += size;
    if (std::string fault = drain(true); !fault.empty()) return fault;
  }
  return drain(false);
}

std::u16string UnitsOf(std::span<const std::uint8_t> input) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < input.size(); i += 2) {
    units.push_back(static_cast<char16_t>(input[i] | (input[i + 1] << 8)));
  }
  return units;
}

std::string Show(const std::u16string& text) {
  std::string shown;
  for (const char16_t unit : text) {
    if (unit >= 0x20 && unit < 0x7F) {
      shown.push_back(static_cast<char>(unit));
    } else {
      shown += "\\u" + std::to_string(static_cast<unsigned>(unit));
    }
  }
  return shown;
}

bool IsSeparator(char16_t unit) { return unit >= 1 && unit <= 32; }

}  // namespace

std::string CheckDecoder(const TerminalDecoder& decode, std::span<const std::uint8_t> burst,
                         std::span<const std::size_t> readSizes) {
  std::vector<ConsoleEvent> whole;
  if (std::string fault = DecodeInReads(decode, burst, {}, whole); !fault.empty()) {
    return "whole burst: " + fault;
  }
  std::vector<ConsoleEvent> inReads;
  if (std::string fault = DecodeInReads(decode, burst, readSizes, inReads); !fault.empty()) {
    return "in reads: " + fault;
  }
  if (whole.size() != inReads.size()) {
    return "the whole burst gave " + std::to_string(whole.size()) + " events, the reads " +
           std::to_string(inReads.size());
  }
  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (!SameEvent(whole[i], inReads[i])) {
      return "event " + std::to_string(i) + ": whole burst " + Describe(whole[i]) + ", reads " +
             Describe(inReads[i]);
    }
  }
  return {};
}

std::string CheckTerminalDecoderInput(std::span<const std::uint8_t> input) {
  if (input.size() < 2) return {};
  // Byte 0: bit 0 the character set, bits 1 to 3 the terminal family.
  const bool utf8 = (input[0] & 1u) != 0;
  constexpr unsigned kFamilies = 5;
  const auto family = static_cast<frame::TerminalFamily>(((input[0] >> 1) & 7u) % kFamilies);
  const std::size_t cuts = std::min<std::size_t>(input[1] % 8u, input.size() - 2);
  std::vector<std::size_t> readSizes;
  for (std::size_t i = 0; i < cuts; ++i) readSizes.push_back(std::size_t{input[2 + i]} + 1);
  const std::span<const std::uint8_t> burst = input.subspan(2 + cuts);
  const TerminalDecoder decode = [utf8, family](std::span<const std::uint8_t> pending,
                                                bool moreMayFollow) {
    return frame::DecodeTerminalInput(pending, moreMayFollow, utf8, family);
  };
  return CheckDecoder(decode, burst, readSizes);
}

std::string CheckCommandLineInput(std::span<const std::uint8_t> input) {
  const std::u16string line = UnitsOf(input);
  const std::vector<std::u16string> arguments = frame::SplitCommandLine(line);
  if (arguments.empty()) return "no argument 0";

  std::u16string joined;
  for (const std::u16string& argument : arguments) {
    if (argument.find(u'"') != std::u16string::npos) {
      return "a quote inside the argument \"" + Show(argument) + "\"";
    }
    joined += argument;
  }
  // The line's characters that must survive: all but the quotes and the
  // separators outside quoted stretches.
  std::u16string kept;
  bool quoted = false;
  for (const char16_t unit : line) {
    if (unit == u'"') {
      quoted = !quoted;
    } else if (quoted || !IsSeparator(unit)) {
      kept.push_back(unit);
    }
  }
  if (joined != kept) {
    return "the arguments hold \"" + Show(joined) + "\", the line \"" + Show(kept) + "\"";
  }

  std::u16string requoted;
  for (const std::u16string& argument : arguments) {
    if (!requoted.empty()) requoted += u' ';
    requoted += u'"' + argument + u'"';
  }
  if (frame::SplitCommandLine(requoted) != arguments) {
    return "quoting the arguments and splitting again changes them: \"" + Show(requoted) + "\"";
  }
  return {};
}

std::string CheckKeyRulesInput(std::span<const std::uint8_t> input) {
  testing_support::FakeConsole console;
  testing_support::FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});

  constexpr std::size_t kRecord = 8;
  for (std::size_t at = 0; at + kRecord <= input.size(); at += kRecord) {
    const std::uint8_t* r = input.data() + at;
    ConsoleEvent event;
    // The end of the input comes last, below; here any other kind.
    event.kind = static_cast<ConsoleEventKind>(r[0] % 6u);
    event.pressed = (r[1] & 1u) != 0;
    event.virtualKey = static_cast<std::uint16_t>(r[2] | (r[3] << 8));
    event.scanCode = r[4];
    event.character = r[5];
    event.modifiers = static_cast<std::uint32_t>(r[6] | ((r[7] & 1u) << 8));
    console.Queue(event);

    int codes = 0;
    while (frame::KeyAvailable()) {
      frame::ReadKeyCode();
      if (++codes > 2) return "event " + std::to_string(at / kRecord) + " gave more than two codes";
    }
    if (console.EventsLeft() != 0) {
      return "event " + std::to_string(at / kRecord) + " was left waiting";
    }
  }

  ConsoleEvent end;
  end.kind = ConsoleEventKind::kEndOfInput;
  // The end of the input is given again at every take.
  console.OnEventsExhausted([&console, end] { console.Queue(end); });
  for (int read = 0; read < 4; ++read) {
    if (!frame::KeyAvailable()) return "no key available after the end of the input";
    const std::uint8_t code = frame::ReadKeyCode();
    if (code != 27) {
      return "read " + std::to_string(read) + " after the end of the input gave " +
             std::to_string(code);
    }
  }
  return {};
}

}  // namespace fuzz_checks
