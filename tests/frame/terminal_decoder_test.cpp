// The terminal decoder: bytes to key presses shaped as a Win32 console
// reports them, and through the key rules to the codes ReadKeyCode gives.
#include "frame/terminal_decoder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/frame_state.h"
#include "frame/tool_frame.h"
#include "tests/support/fake_console.h"
#include "tests/support/fake_files.h"

namespace {

using namespace std::string_view_literals;
namespace ks = frame::keystate;
namespace vk = frame::vk;
using frame::ConsoleEvent;
using frame::ConsoleEventKind;
using frame::DecodeResult;
using frame::DecodeStatus;

constexpr std::uint32_t kShift = ks::kShift;
constexpr std::uint32_t kCtrl = ks::kLeftCtrl;
constexpr std::uint32_t kAlt = ks::kLeftAlt;
constexpr std::uint32_t kEnh = ks::kEnhanced;
constexpr std::uint32_t kNum = ks::kNumLock;

std::span<const std::uint8_t> BytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

using frame::TerminalFamily;

constexpr std::array<TerminalFamily, 5> kFamilies = {TerminalFamily::kXterm, TerminalFamily::kLinux,
                                                     TerminalFamily::kPutty, TerminalFamily::kRxvt,
                                                     TerminalFamily::kScreen};

std::string NameOf(TerminalFamily family) {
  switch (family) {
    case TerminalFamily::kXterm:
      return "xterm";
    case TerminalFamily::kLinux:
      return "linux";
    case TerminalFamily::kPutty:
      return "putty";
    case TerminalFamily::kRxvt:
      return "rxvt";
    case TerminalFamily::kScreen:
      return "screen";
  }
  return "?";
}

DecodeResult Decode(std::string_view bytes, bool moreMayFollow, bool utf8 = true,
                    TerminalFamily family = TerminalFamily::kXterm) {
  return frame::DecodeTerminalInput(BytesOf(bytes), moreMayFollow, utf8, family);
}

// Decodes all of `bytes` the way a terminal back end does when they arrive
// together and the input then goes quiet: with more input possible first,
// and once more without when the decoder asks for more.
std::vector<ConsoleEvent> DecodeAll(std::string_view bytes, bool utf8 = true,
                                    TerminalFamily family = TerminalFamily::kXterm) {
  std::vector<ConsoleEvent> events;
  while (!bytes.empty()) {
    DecodeResult result = Decode(bytes, true, utf8, family);
    if (result.status == DecodeStatus::kNeedMore) result = Decode(bytes, false, utf8, family);
    EXPECT_NE(result.status, DecodeStatus::kNeedMore) << "no decision without more input";
    if (result.status == DecodeStatus::kNeedMore) break;
    EXPECT_GE(result.consumed, 1u);
    EXPECT_LE(result.consumed, bytes.size());
    if (result.consumed == 0 || result.consumed > bytes.size()) break;
    if (result.status == DecodeStatus::kEvent) events.push_back(result.event);
    bytes.remove_prefix(result.consumed);
  }
  return events;
}

// The codes that ReadKeyCode hands out for the decoded events, read until
// no code is available.
std::vector<int> CodesOf(std::string_view bytes, bool utf8 = true,
                         TerminalFamily family = TerminalFamily::kXterm) {
  testing_support::FakeConsole console;
  testing_support::FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  for (const ConsoleEvent& event : DecodeAll(bytes, utf8, family)) console.Queue(event);
  std::vector<int> codes;
  while (frame::KeyAvailable()) codes.push_back(frame::ReadKeyCode());
  return codes;
}

std::string Printable(std::string_view bytes) {
  std::string text;
  for (char byte : bytes) {
    const auto c = static_cast<unsigned char>(byte);
    if (c == 0x1B) {
      text += "ESC ";
    } else if (c < 32 || c >= 127) {
      text += "\\x" + std::to_string(c) + " ";
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

// ---- bytes to codes through the key rules --------------------------------

struct CodesCase {
  std::string_view bytes;
  std::vector<int> codes;
};

TEST(TerminalDecoderCodes, KeysGiveTheConsoleCodes) {
  const std::vector<CodesCase> cases = {
      // Characters and the keys with a character of their own.
      {"a"sv, {97}},
      {"A"sv, {65}},
      {" "sv, {32}},
      {"\r"sv, {13}},
      {"\t"sv, {9}},
      {"\x7f"sv, {8}},
      {"\033"sv, {27}},
      {"\x01"sv, {1}},
      {"\0"sv, {0, 3}},
      {"\x1c"sv, {28}},
      {"\x1e"sv, {30}},
      {"\x1f"sv, {31}},
      // Function keys in each form terminals send.
      {"\033OP"sv, {0, 59}},
      {"\033[11~"sv, {0, 59}},
      {"\033[[A"sv, {0, 59}},
      {"\033OS"sv, {0, 62}},
      {"\033[[E"sv, {0, 63}},
      {"\033[15~"sv, {0, 63}},
      {"\033[21~"sv, {0, 68}},
      {"\033[23~"sv, {0, 133}},
      {"\033[24~"sv, {0, 134}},
      {"\033[1;2P"sv, {0, 84}},
      {"\033O5P"sv, {0, 94}},
      {"\033[1;3P"sv, {0, 104}},
      {"\033[17;2~"sv, {0, 89}},
      {"\033[15;3~"sv, {0, 108}},
      {"\033[24;5~"sv, {0, 138}},
      {"\033[1;5R"sv, {0, 96}},  // Ctrl+F3, though it reads like a cursor report
      // Cursor and editing keys.
      {"\033[A"sv, {0, 72}},
      {"\033OA"sv, {0, 72}},
      {"\033[B"sv, {0, 80}},
      {"\033[D"sv, {0, 75}},
      {"\033[C"sv, {0, 77}},
      {"\033[H"sv, {0, 71}},
      {"\033[1~"sv, {0, 71}},
      {"\033[7~"sv, {0, 71}},
      {"\033[F"sv, {0, 79}},
      {"\033OF"sv, {0, 79}},
      {"\033[4~"sv, {0, 79}},
      {"\033[8~"sv, {0, 79}},
      {"\033[5~"sv, {0, 73}},
      {"\033[6~"sv, {0, 81}},
      {"\033[2~"sv, {0, 82}},
      {"\033[3~"sv, {0, 83}},
      {"\033[3;2~"sv, {0, 83}},
      {"\033[3;5~"sv, {0, 147}},
      {"\033[1;5A"sv, {0, 141}},
      {"\033[1;5H"sv, {0, 119}},
      {"\033[1;3A"sv, {0, 152}},
      {"\033\033[A"sv, {0, 152}},
      {"\033[1;9A"sv, {0, 152}},  // Meta counts as Alt
      {"\033[1;7D"sv, {0, 155}},  // Ctrl+Alt: Alt comes first
      {"\033[E"sv, {0, 76}},
      {"\033[Z"sv, {9}},  // Shift+Tab yields its character 9
      // The keypad in application mode.
      {"\033Oo"sv, {0, 53}},
      {"\033OM"sv, {13}},
      {"\033Oq"sv, {49}},
      {"\033Oj"sv, {42}},
      {"\033Ok"sv, {43}},
      {"\033O5k"sv, {0, 78}},
      {"\033O5m"sv, {0, 142}},
      {"\033O5j"sv, {0, 150}},
      {"\033O5o"sv, {0, 149}},
      {"\033O3o"sv, {0, 164}},
      {"\033OX"sv, {61}},
      // Alt through the ESC prefix.
      {"\033a"sv, {0, 30}},
      {"\033A"sv, {0, 30}},
      {"\0331"sv, {0, 120}},
      {"\0332"sv, {0, 121}},
      {"\033="sv, {0, 131}},
      {"\033\033"sv, {0, 1}},
      {"\033\x7f"sv, {0, 14}},
      {"\033\t"sv, {0, 165}},
      {"\033\r"sv, {13}},
      {"\033["sv, {0, 26}},
      {"\033O"sv, {0, 24}},
      {"\033\033O5P"sv, {0, 104}},
      // The "CSI u" and modifyOtherKeys forms.
      {"\033[49;5u"sv, {0, 2}},
      {"\033[9;5u"sv, {0, 148}},
      {"\033[27;5;9~"sv, {0, 148}},
      {"\033[13;3u"sv, {13}},
      {"\033[27;3;13~"sv, {13}},
      {"\033[13;5u"sv, {10}},
      {"\033[127;5u"sv, {127}},
      {"\033[97;5u"sv, {1}},
      {"\033[97;2u"sv, {65}},
      {"\033[50;6u"sv, {0, 3}},
      {"\033[27;3u"sv, {0, 1}},
      // Characters beyond ASCII, in code page 437.
      {"\xc3\xa9"sv, {130}},
      {"\xc3\x87"sv, {128}},
      {"\xe2\x96\x88"sv, {219}},
      {"\xc2\xa0"sv, {255}},
      {"\xe2\x98\xba"sv, {63}},      // not a character of the code page
      {"\xf0\x9f\x98\x80"sv, {63}},  // nor is anything beyond the BMP
      {"\033[233u"sv, {130}},
      // Several keys in one read, in order.
      {"ab\033[Ac"sv, {97, 98, 0, 72, 99}},
      {"\033OP\033OQ"sv, {0, 59, 0, 60}},
      {"\033[1;5A\033[24~x"sv, {0, 141, 0, 134, 120}},
      // What is no key gives no code and holds nothing up.
      {"\033[Ix"sv, {120}},
      {"\033[O\033[<0;12;5Mq"sv, {113}},
      {"\033[M !!z"sv, {122}},
      {"\033[5;10Rk"sv, {107}},  // a cursor position report
      {"\033[?1;2cz"sv, {122}},
      {"\033[99~z"sv, {122}},
      {"\033\033Owz"sv, {122}},  // Alt+keypad 7 feeds the Alt number entry
  };
  for (const CodesCase& c : cases) {
    EXPECT_EQ(CodesOf(c.bytes), c.codes) << Printable(c.bytes);
  }
}

// ---- terminal families ----------------------------------------------------

struct FamilyCase {
  TerminalFamily family;
  std::string_view bytes;
  std::vector<int> codes;
};

// The forms that one family sends and others do not, or that mean another
// key on another family: each gives the console's code for the key the
// family's terminals send it for.
TEST(TerminalDecoderFamilies, EachFamilyGivesTheCodesOfItsOwnForms) {
  using F = TerminalFamily;
  const std::vector<FamilyCase> cases = {
      // rxvt: Shift and Ctrl arrows, the $ ^ @ forms of the editing and
      // function keys.
      {F::kRxvt, "\033[a"sv, {0, 72}},
      {F::kRxvt, "\033[b"sv, {0, 80}},
      {F::kRxvt, "\033[c"sv, {0, 77}},
      {F::kRxvt, "\033[d"sv, {0, 75}},
      {F::kRxvt, "\033Oa"sv, {0, 141}},
      {F::kRxvt, "\033Ob"sv, {0, 145}},
      {F::kRxvt, "\033Oc"sv, {0, 116}},
      {F::kRxvt, "\033Od"sv, {0, 115}},
      {F::kRxvt, "\033\033Oa"sv, {0, 152}},  // Alt wins over Ctrl
      {F::kRxvt, "\033\033[d"sv, {0, 155}},
      {F::kRxvt, "\033[2$"sv, {0, 82}},
      {F::kRxvt, "\033[3$"sv, {0, 83}},
      {F::kRxvt, "\033[5$"sv, {0, 73}},
      {F::kRxvt, "\033[6$"sv, {0, 81}},
      {F::kRxvt, "\033[7$"sv, {0, 71}},
      {F::kRxvt, "\033[8$"sv, {0, 79}},
      {F::kRxvt, "\033[2^"sv, {0, 146}},
      {F::kRxvt, "\033[3^"sv, {0, 147}},
      {F::kRxvt, "\033[5^"sv, {0, 132}},
      {F::kRxvt, "\033[6^"sv, {0, 118}},
      {F::kRxvt, "\033[7^"sv, {0, 119}},
      {F::kRxvt, "\033[8^"sv, {0, 117}},
      {F::kRxvt, "\033[7@"sv, {0, 119}},  // Ctrl+Shift: Ctrl wins
      {F::kRxvt, "\033[3@"sv, {0, 147}},
      {F::kRxvt, "\033[7~"sv, {0, 71}},
      {F::kRxvt, "\033[8~"sv, {0, 79}},
      {F::kRxvt, "\033[11^"sv, {0, 94}},
      {F::kRxvt, "\033[12^"sv, {0, 95}},
      {F::kRxvt, "\033[13^"sv, {0, 96}},
      {F::kRxvt, "\033[14^"sv, {0, 97}},
      {F::kRxvt, "\033[15^"sv, {0, 98}},
      {F::kRxvt, "\033[17^"sv, {0, 99}},
      {F::kRxvt, "\033[21^"sv, {0, 103}},
      {F::kRxvt, "\033[23^"sv, {0, 137}},
      {F::kRxvt, "\033[24^"sv, {0, 138}},
      {F::kRxvt, "\033[25^"sv, {0, 96}},  // Ctrl+Shift+F3
      {F::kRxvt, "\033[23$"sv, {0, 135}},
      {F::kRxvt, "\033[24$"sv, {0, 136}},
      {F::kRxvt, "\033[23@"sv, {0, 137}},
      {F::kRxvt, "\033[24@"sv, {0, 138}},
      {F::kRxvt, "\033[25~"sv, {0, 86}},
      {F::kRxvt, "\033[34~"sv, {0, 93}},
      {F::kRxvt, "\033\033[3$"sv, {0, 163}},
      // A $ form never swallows the key after it.
      {F::kRxvt, "\033[7$a"sv, {0, 71, 97}},
      {F::kRxvt, "\033[23$y"sv, {0, 135, 121}},
      {F::kRxvt, "\033[2$\033[3$"sv, {0, 82, 0, 83}},
      // The Linux console: F1..F5, Shift+F3..F10, the keypad's own forms
      // in application mode, the keypad's centre with Num Lock off.
      {F::kLinux, "\033[[A"sv, {0, 59}},
      {F::kLinux, "\033[[E"sv, {0, 63}},
      {F::kLinux, "\033[25~"sv, {0, 86}},
      {F::kLinux, "\033[26~"sv, {0, 87}},
      {F::kLinux, "\033[28~"sv, {0, 88}},
      {F::kLinux, "\033[29~"sv, {0, 89}},
      {F::kLinux, "\033[31~"sv, {0, 90}},
      {F::kLinux, "\033[32~"sv, {0, 91}},
      {F::kLinux, "\033[33~"sv, {0, 92}},
      {F::kLinux, "\033[34~"sv, {0, 93}},
      {F::kLinux, "\033Ol"sv, {43}},
      {F::kLinux, "\033OS"sv, {45}},
      {F::kLinux, "\033OR"sv, {42}},
      {F::kLinux, "\033OQ"sv, {0, 53}},
      {F::kLinux, "\033OPx"sv, {120}},  // Num Lock counts for nothing
      {F::kLinux, "\033OM"sv, {13}},
      {F::kLinux, "\033Ow"sv, {55}},
      {F::kLinux, "\033On"sv, {46}},
      {F::kLinux, "\033[G"sv, {0, 76}},
      {F::kLinux, "\033[1~"sv, {0, 71}},
      {F::kLinux, "\033[4~"sv, {0, 79}},
      {F::kLinux, "\033[A"sv, {0, 72}},
      // PuTTY: Ctrl+arrows as ESC O A..D, the keypad as on the Linux
      // console, function keys as ESC [ n ~.
      {F::kPutty, "\033OA"sv, {0, 141}},
      {F::kPutty, "\033OB"sv, {0, 145}},
      {F::kPutty, "\033OC"sv, {0, 116}},
      {F::kPutty, "\033OD"sv, {0, 115}},
      {F::kPutty, "\033[A"sv, {0, 72}},
      {F::kPutty, "\033\033[A"sv, {0, 152}},
      {F::kPutty, "\033[11~"sv, {0, 59}},
      {F::kPutty, "\033[14~"sv, {0, 62}},
      {F::kPutty, "\033[25~"sv, {0, 86}},
      {F::kPutty, "\033Ol"sv, {43}},
      {F::kPutty, "\033OS"sv, {45}},
      {F::kPutty, "\033OR"sv, {42}},
      {F::kPutty, "\033OQ"sv, {0, 53}},
      {F::kPutty, "\033OP"sv, {}},
      {F::kPutty, "\033[1~"sv, {0, 71}},
      {F::kPutty, "\033[4~"sv, {0, 79}},
      {F::kPutty, "\033[G"sv, {0, 76}},
      // xterm and screen/tmux: ESC O P..S are F1..F4, ESC O A..D the arrows.
      {F::kXterm, "\033OP"sv, {0, 59}},
      {F::kXterm, "\033OS"sv, {0, 62}},
      {F::kXterm, "\033OA"sv, {0, 72}},
      {F::kXterm, "\033Ol"sv, {43}},
      {F::kXterm, "\033[1;2P"sv, {0, 84}},
      {F::kScreen, "\033OP"sv, {0, 59}},
      {F::kScreen, "\033OD"sv, {0, 75}},
      {F::kScreen, "\033[1~"sv, {0, 71}},
      {F::kScreen, "\033[4~"sv, {0, 79}},
      {F::kScreen, "\033[1;5C"sv, {0, 116}},
  };
  for (const FamilyCase& c : cases) {
    EXPECT_EQ(CodesOf(c.bytes, true, c.family), c.codes)
        << NameOf(c.family) << ": " << Printable(c.bytes);
  }
}

// What only one family sends, every family decodes alike: the forms never
// mean another key elsewhere.
TEST(TerminalDecoderFamilies, FormsNoFamilyDisputesDecodeAlikeEverywhere) {
  const std::vector<CodesCase> cases = {
      {"\033[a"sv, {0, 72}},        {"\033Oc"sv, {0, 116}},   {"\033[7$"sv, {0, 71}},
      {"\033[5^"sv, {0, 132}},      {"\033[8@"sv, {0, 117}},  {"\033[28~"sv, {0, 88}},
      {"\033[[B"sv, {0, 60}},       {"\033Ol"sv, {43}},       {"\033[1;5A"sv, {0, 141}},
      {"\033[3$z"sv, {0, 83, 122}}, {"\033[24~"sv, {0, 134}}, {"\033[97;5u"sv, {1}},
  };
  for (TerminalFamily family : kFamilies) {
    for (const CodesCase& c : cases) {
      EXPECT_EQ(CodesOf(c.bytes, true, family), c.codes)
          << NameOf(family) << ": " << Printable(c.bytes);
    }
  }
}

TEST(TerminalDecoderFamilies, TermNamesTheFamily) {
  struct Case {
    std::string_view term;
    TerminalFamily family;
  };
  using F = TerminalFamily;
  const std::vector<Case> cases = {
      {"linux"sv, F::kLinux},
      {"linux-16color"sv, F::kLinux},
      {"putty"sv, F::kPutty},
      {"putty-256color"sv, F::kPutty},
      {"rxvt"sv, F::kRxvt},
      {"rxvt-unicode"sv, F::kRxvt},
      {"rxvt-unicode-256color"sv, F::kRxvt},
      {"screen"sv, F::kScreen},
      {"screen-256color"sv, F::kScreen},
      {"screen.xterm-256color"sv, F::kScreen},
      {"tmux-256color"sv, F::kScreen},
      {"xterm-256color"sv, F::kXterm},
      {"xterm-kitty"sv, F::kXterm},
      {"foot"sv, F::kXterm},
      {"vt100"sv, F::kXterm},
      {""sv, F::kXterm},
      {"linuxish"sv, F::kXterm},
      {"puttyx"sv, F::kXterm},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(frame::FamilyOfTerm(c.term), c.family) << c.term;
  }
  // Numeric keypad where the application keypad hides keys.
  EXPECT_TRUE(frame::ApplicationKeypadFits(F::kXterm));
  EXPECT_TRUE(frame::ApplicationKeypadFits(F::kScreen));
  EXPECT_FALSE(frame::ApplicationKeypadFits(F::kLinux));
  EXPECT_FALSE(frame::ApplicationKeypadFits(F::kPutty));
  EXPECT_FALSE(frame::ApplicationKeypadFits(F::kRxvt));
}

// ---- the keyboard-enhancement protocol -------------------------------------

TEST(TerminalDecoderProtocol, ReportsGiveTheConsoleCodes) {
  const std::vector<CodesCase> cases = {
      // Keys with a character, the text naming the character typed.
      {"\033[97u"sv, {97}},
      {"\033[97;;97u"sv, {97}},
      {"\033[97;2;65u"sv, {65}},
      {"\033[97;2u"sv, {65}},       // no text: the US layout's
      {"\033[97;65;65u"sv, {65}},   // Caps Lock
      {"\033[50;2;34u"sv, {34}},    // Shift+2 on a layout that types '"'
      {"\033[246;;246u"sv, {148}},  // a key of its own for o with diaeresis
      {"\033[113;;64u"sv, {64}},    // AltGr+q typing '@'
      {"\033[97;5u"sv, {1}},
      {"\033[97;3u"sv, {0, 30}},
      {"\033[13u"sv, {13}},
      {"\033[13;5u"sv, {10}},
      {"\033[9u"sv, {9}},
      {"\033[9;2u"sv, {9}},
      {"\033[127u"sv, {8}},
      {"\033[27u"sv, {27}},
      {"\033[27;3u"sv, {0, 1}},
      {"\033[99;5u"sv, {3}},
      // Repeats count as presses; releases never count.
      {"\033[97;1:2u\033[97;1:2u\033[97;1:3u"sv, {97, 97}},
      {"\033[1;1:3A\033[3;1:3~\033[13;1:3u"sv, {}},
      {"\033[1;5:1A"sv, {0, 141}},
      {"\033[1;1:2B"sv, {0, 80}},
      {"\033[5;5:2~"sv, {0, 132}},
      {"\033[1;2:1P"sv, {0, 84}},
      // Modifier and lock keys alone count for nothing.
      {"\033[57441;2u\033[57441;1:3ux"sv, {120}},
      {"\033[57442;5u\033[57448;5u\033[57443;3u\033[57449;3u\033[57358u\033[57360u"sv, {}},
      // The keypad's keys apart from their twins.
      {"\033[57399;129u"sv, {48}},
      {"\033[57405;129u"sv, {54}},
      {"\033[57409;129u"sv, {46}},
      {"\033[57410u"sv, {0, 53}},
      {"\033[57411u"sv, {42}},
      {"\033[57411;5u"sv, {0, 150}},
      {"\033[57412;5u"sv, {0, 142}},
      {"\033[57413;5u"sv, {0, 78}},
      {"\033[57414u"sv, {13}},
      {"\033[57414;5u"sv, {0, 28}},
      {"\033[57415u"sv, {61}},
      {"\033[57417u"sv, {0, 75}},
      {"\033[57423;5u"sv, {0, 119}},
      {"\033[57420;5u"sv, {0, 145}},
      {"\033[57426;5u"sv, {0, 147}},
      {"\033[57427u"sv, {0, 76}},
      {"\033[57399;5u"sv, {0, 146}},
      // Alt + keypad number: the code comes on Alt's release.
      {"\033[57443;3u\033[57405;131u\033[57405;131:3u\033[57404;131u\033[57404;131:3u"
       "\033[57443;129:3u"sv,
       {65}},
      {"\033[57443;3u\033[57402;3u\033[57399;3u\033[57399;3u\033[57443;1:3u"sv, {44}},
      {"\033[57449;3u\033[57404;3u\033[57403;3u\033[57449;1:3u"sv, {54}},
      {"\033[57443;3u\033[57399;3u\033[57443;1:3u"sv, {}},
      // Without Num Lock the keypad gives its keys, Alt or not.
      {"\033[57443;3u\033[57423;3u\033[57443;1:3u"sv, {0, 71}},
      // The answer to the query is no key.
      {"\033[?11uq"sv, {113}},
  };
  for (const CodesCase& c : cases) {
    EXPECT_EQ(CodesOf(c.bytes), c.codes) << Printable(c.bytes);
  }
}

TEST(TerminalDecoderProtocol, EventsAreShapedAsTheConsoleReportsThem) {
  struct Case {
    std::string_view bytes;
    bool pressed;
    std::uint16_t virtualKey;
    std::uint16_t scanCode;
    std::uint8_t character;
    std::uint32_t modifiers;
  };
  const std::vector<Case> cases = {
      {"\033[57443;3u"sv, true, vk::kMenu, 56, 0, kAlt},
      {"\033[57443;1:3u"sv, false, vk::kMenu, 56, 0, kAlt},
      {"\033[57449;3u"sv, true, vk::kMenu, 56, 0, ks::kRightAlt | kEnh},
      {"\033[57441;2u"sv, true, vk::kShift, 42, 0, kShift},
      {"\033[57447;1:3u"sv, false, vk::kShift, 54, 0, kShift},
      {"\033[57442;5u"sv, true, vk::kControl, 29, 0, kCtrl},
      {"\033[57448;5u"sv, true, vk::kControl, 29, 0, kCtrl | ks::kRightCtrl | kEnh},
      {"\033[57405;131u"sv, true, vk::kNumpad0 + 6, 77, 0, kAlt | kNum},
      {"\033[57405;129u"sv, true, vk::kNumpad0 + 6, 77, '6', kNum},
      {"\033[57417u"sv, true, vk::kLeft, 75, 0, 0},
      {"\033[57414u"sv, true, vk::kReturn, 28, 13, kEnh},
      {"\033[97;1:3u"sv, false, 'A', 30, 'a', 0},
      {"\033[97;1:2u"sv, true, 'A', 30, 'a', 0},
      {"\033[1;1:3A"sv, false, vk::kUp, 72, 0, kEnh},
      {"\033[24;2:3~"sv, false, vk::kF12, 88, 0, kShift},
      {"\033[57363u"sv, true, vk::kApps, 93, 0, kEnh},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Printable(c.bytes));
    const DecodeResult result = Decode(c.bytes, true);
    ASSERT_EQ(result.status, DecodeStatus::kEvent);
    EXPECT_EQ(result.consumed, c.bytes.size());
    EXPECT_EQ(result.event.kind, ConsoleEventKind::kKey);
    EXPECT_EQ(result.event.pressed, c.pressed);
    EXPECT_EQ(result.event.virtualKey, c.virtualKey);
    EXPECT_EQ(result.event.scanCode, c.scanCode);
    EXPECT_EQ(result.event.character, c.character);
    EXPECT_EQ(result.event.modifiers, c.modifiers);
  }
}

TEST(FindKeyboardFlagsReport, FindsTheAnswerAmongKeys) {
  struct Case {
    std::string_view bytes;
    std::size_t offset;
    std::size_t length;
    std::uint32_t flags;
  };
  const std::vector<Case> cases = {
      {"\033[?0u"sv, 0, 5, 0},
      {"ab\033[?11ucd"sv, 2, 6, 11},
      {"\033[97u\033[?31u\033[5;1R"sv, 5, 6, 31},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Printable(c.bytes));
    const auto report = frame::FindKeyboardFlagsReport(BytesOf(c.bytes));
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->offset, c.offset);
    EXPECT_EQ(report->length, c.length);
    EXPECT_EQ(report->flags, c.flags);
  }
  for (std::string_view bytes :
       {""sv, "\033[?u"sv, "\033[?1"sv, "\033[1u"sv, "\033[?1;2u"sv, "\033[>1u"sv, "\033[5;1R"sv}) {
    EXPECT_FALSE(frame::FindKeyboardFlagsReport(BytesOf(bytes)).has_value()) << Printable(bytes);
  }
}

TEST(TerminalDecoderCodes, EightBitTerminalGivesBytesAsCharacters) {
  EXPECT_EQ(CodesOf("\x82\xdb\xff"sv, false), (std::vector<int>{130, 219, 255}));
  // The same bytes are no UTF-8: dropped.
  EXPECT_EQ(CodesOf("\x82\xdb\xff"sv, true), (std::vector<int>{}));
}

TEST(TerminalDecoderCodes, EveryPrintableCharacterGivesItself) {
  for (int c = 32; c <= 126; ++c) {
    const std::string bytes(1, static_cast<char>(c));
    EXPECT_EQ(CodesOf(bytes), (std::vector<int>{c})) << bytes;
  }
}

TEST(TerminalDecoderCodes, EveryControlByteBesidesEscapeAndNulGivesItself) {
  for (int c = 1; c < 32; ++c) {
    if (c == 27) continue;
    const std::string bytes(1, static_cast<char>(c));
    EXPECT_EQ(CodesOf(bytes), (std::vector<int>{c})) << c;
  }
}

// ---- the events' fields --------------------------------------------------

struct EventCase {
  std::string_view bytes;
  bool afterQuiet;  ///< decoded once no more input may follow
  std::size_t consumed;
  std::uint16_t virtualKey;
  std::uint16_t scanCode;
  std::uint8_t character;
  std::uint32_t modifiers;
};

TEST(TerminalDecoderEvents, PressesAreShapedAsTheConsoleReportsThem) {
  const std::vector<EventCase> cases = {
      {"a"sv, false, 1, 'A', 30, 'a', 0},
      {"A"sv, false, 1, 'A', 30, 'A', kShift},
      {"!"sv, false, 1, '1', 2, '!', kShift},
      {"_"sv, false, 1, 0xBD, 12, '_', kShift},
      {"/"sv, false, 1, 0xBF, 53, '/', 0},
      {" "sv, false, 1, vk::kSpace, 57, ' ', 0},
      {"\r"sv, false, 1, vk::kReturn, 28, 13, 0},
      {"\t"sv, false, 1, vk::kTab, 15, 9, 0},
      {"\x7f"sv, false, 1, vk::kBack, 14, 8, 0},
      {"\x08"sv, false, 1, 'H', 35, 8, kCtrl},
      {"\n"sv, false, 1, 'J', 36, 10, kCtrl},
      {"\x01"sv, false, 1, 'A', 30, 1, kCtrl},
      {"\x1a"sv, false, 1, 'Z', 44, 26, kCtrl},
      {"\0"sv, false, 1, '2', 3, 0, kCtrl},
      {"\x1c"sv, false, 1, 0xDC, 43, 28, kCtrl},
      {"\x1d"sv, false, 1, 0xDD, 27, 29, kCtrl},
      {"\x1e"sv, false, 1, '6', 7, 30, kCtrl},
      {"\x1f"sv, false, 1, 0xBD, 12, 31, kCtrl},
      {"\033"sv, true, 1, vk::kEscape, 1, 27, 0},
      // Alt by the ESC prefix keeps the key's character.
      {"\033a"sv, false, 2, 'A', 30, 'a', kAlt},
      {"\033\033"sv, true, 2, vk::kEscape, 1, 27, kAlt},
      {"\033\x7f"sv, false, 2, vk::kBack, 14, 8, kAlt},
      {"\033["sv, true, 2, 0xDB, 26, '[', kAlt},
      {"\033O"sv, true, 2, 'O', 24, 'O', kAlt | kShift},
      // Keys without a character; the grey keys are enhanced.
      {"\033OP"sv, false, 3, vk::kF1, 59, 0, 0},
      {"\033[24~"sv, false, 5, vk::kF12, 88, 0, 0},
      {"\033[23;2~"sv, false, 7, vk::kF1 + 10, 87, 0, kShift},
      {"\033[A"sv, false, 3, vk::kUp, 72, 0, kEnh},
      {"\033[3;2~"sv, false, 6, vk::kDelete, 83, 0, kEnh | kShift},
      {"\033[15;3~"sv, false, 7, vk::kF1 + 4, 63, 0, kAlt},
      {"\033[1;5H"sv, false, 6, vk::kHome, 71, 0, kEnh | kCtrl},
      {"\033[1;8B"sv, false, 6, vk::kDown, 80, 0, kEnh | kShift | kAlt | kCtrl},
      {"\033\033[6~"sv, false, 5, vk::kNext, 81, 0, kEnh | kAlt},
      {"\033[Z"sv, false, 3, vk::kTab, 15, 9, kShift},
      {"\033[E"sv, false, 3, 0x0C, 76, 0, 0},
      // The keypad in application mode.
      {"\033Op"sv, false, 3, vk::kNumpad0, 82, '0', kNum},
      {"\033Oy"sv, false, 3, vk::kNumpad9, 73, '9', kNum},
      {"\033On"sv, false, 3, vk::kDecimal, 83, '.', kNum},
      {"\033OM"sv, false, 3, vk::kReturn, 28, 13, kEnh},
      {"\033Oj"sv, false, 3, vk::kMultiply, 55, '*', 0},
      {"\033Ok"sv, false, 3, vk::kAdd, 78, '+', 0},
      {"\033Om"sv, false, 3, vk::kSubtract, 74, '-', 0},
      {"\033Oo"sv, false, 3, vk::kDivide, 53, '/', kEnh},
      {"\033OX"sv, false, 3, 0xBB, 13, '=', 0},
      {"\033O5k"sv, false, 4, vk::kAdd, 78, 0, kCtrl},
      {"\033O1;3q"sv, false, 6, vk::kNumpad0 + 1, 79, 0, kAlt | kNum},
      {"\033\033Ou"sv, false, 4, vk::kNumpad0 + 5, 76, 0, kAlt | kNum},
      // "CSI u" and modifyOtherKeys: the key of the code point.
      {"\033[49;5u"sv, false, 7, '1', 2, 0, kCtrl},
      {"\033[97;2u"sv, false, 7, 'A', 30, 'A', kShift},
      {"\033[65;5u"sv, false, 7, 'A', 30, 1, kShift | kCtrl},
      {"\033[97:65;6:1u"sv, false, 12, 'A', 30, 1, kShift | kCtrl},
      {"\033[9;5u"sv, false, 6, vk::kTab, 15, 0, kCtrl},
      {"\033[27;5;9~"sv, false, 9, vk::kTab, 15, 0, kCtrl},
      {"\033[13;3u"sv, false, 7, vk::kReturn, 28, 13, kAlt},
      {"\033[27;2;33~"sv, false, 10, '1', 2, '!', kShift},
      // Characters beyond ASCII belong to no key.
      {"\xc3\xa9"sv, false, 2, 0, 0, 130, 0},
      {"\xe2\x82\xac"sv, false, 3, 0, 0, '?', 0},
      {"\033\xc3\xa9"sv, false, 3, 0, 0, 130, kAlt},
  };
  for (const EventCase& c : cases) {
    SCOPED_TRACE(Printable(c.bytes));
    const DecodeResult result = Decode(c.bytes, !c.afterQuiet);
    ASSERT_EQ(result.status, DecodeStatus::kEvent);
    EXPECT_EQ(result.consumed, c.consumed);
    EXPECT_EQ(result.event.kind, ConsoleEventKind::kKey);
    EXPECT_TRUE(result.event.pressed);
    EXPECT_EQ(result.event.virtualKey, c.virtualKey);
    EXPECT_EQ(result.event.scanCode, c.scanCode);
    EXPECT_EQ(result.event.character, c.character);
    EXPECT_EQ(result.event.modifiers, c.modifiers);
  }
}

TEST(TerminalDecoderEvents, PrintableCharactersMatchTheUsLayout) {
  for (char c = ' '; c <= '~'; ++c) {
    SCOPED_TRACE(std::string(1, c));
    const DecodeResult result = Decode(std::string_view(&c, 1), true);
    ASSERT_EQ(result.status, DecodeStatus::kEvent);
    const ConsoleEvent expected = testing_support::keys::Char(c);
    EXPECT_EQ(result.event.virtualKey, expected.virtualKey);
    EXPECT_EQ(result.event.scanCode, expected.scanCode);
    EXPECT_EQ(result.event.character, expected.character);
    EXPECT_EQ(result.event.modifiers, expected.modifiers);
  }
}

TEST(TerminalDecoderEvents, FocusAndMouseReportsAreTheirOwnKinds) {
  struct Case {
    std::string_view bytes;
    ConsoleEventKind kind;
    bool pressed;
    std::size_t consumed;
  };
  const std::vector<Case> cases = {
      {"\033[I"sv, ConsoleEventKind::kFocus, true, 3},
      {"\033[O"sv, ConsoleEventKind::kFocus, false, 3},
      {"\033[M !!x"sv, ConsoleEventKind::kMouse, true, 6},
      {"\033[M#!!"sv, ConsoleEventKind::kMouse, true, 6},
      {"\033[<0;12;5M"sv, ConsoleEventKind::kMouse, true, 10},
      {"\033[<0;12;5m"sv, ConsoleEventKind::kMouse, true, 10},
      {"\033[32;12;5M"sv, ConsoleEventKind::kMouse, true, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Printable(c.bytes));
    const DecodeResult result = Decode(c.bytes, true);
    ASSERT_EQ(result.status, DecodeStatus::kEvent);
    EXPECT_EQ(result.event.kind, c.kind);
    EXPECT_EQ(result.event.pressed, c.pressed);
    EXPECT_EQ(result.consumed, c.consumed);
  }
}

// ---- incomplete and unusable input ---------------------------------------

struct StatusCase {
  std::string_view bytes;
  bool moreMayFollow;
  DecodeStatus status;
  std::size_t consumed;
};

TEST(TerminalDecoderInput, IncompleteInputWaitsWhileMoreMayFollow) {
  const std::vector<StatusCase> cases = {
      {""sv, true, DecodeStatus::kNeedMore, 0},
      {""sv, false, DecodeStatus::kNeedMore, 0},
      {"\033"sv, true, DecodeStatus::kNeedMore, 0},
      {"\033["sv, true, DecodeStatus::kNeedMore, 0},
      {"\033[1;"sv, true, DecodeStatus::kNeedMore, 0},
      {"\033[["sv, true, DecodeStatus::kNeedMore, 0},
      {"\033O"sv, true, DecodeStatus::kNeedMore, 0},
      {"\033O5"sv, true, DecodeStatus::kNeedMore, 0},
      {"\033\033"sv, true, DecodeStatus::kNeedMore, 0},
      {"\033\033["sv, true, DecodeStatus::kNeedMore, 0},
      {"\033[M !"sv, true, DecodeStatus::kNeedMore, 0},
      {"\033[<0;12"sv, true, DecodeStatus::kNeedMore, 0},
      {"\xc3"sv, true, DecodeStatus::kNeedMore, 0},
      {"\xe2\x96"sv, true, DecodeStatus::kNeedMore, 0},
      {"\033\xc3"sv, true, DecodeStatus::kNeedMore, 0},
      // Once the input is quiet, what is there is decided.
      {"\033[1;"sv, false, DecodeStatus::kDiscard, 4},
      {"\033[["sv, false, DecodeStatus::kDiscard, 3},
      {"\033O5"sv, false, DecodeStatus::kDiscard, 3},
      {"\033[M !"sv, false, DecodeStatus::kDiscard, 5},
      {"\xe2\x96"sv, false, DecodeStatus::kDiscard, 2},
      {"\033\033["sv, false, DecodeStatus::kEvent, 2},  // Alt+Escape, then '['
      {"\033\xc3"sv, false, DecodeStatus::kEvent, 1},   // Escape, then the broken byte
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(Printable(c.bytes) + (c.moreMayFollow ? " (more may follow)" : " (quiet)"));
    const DecodeResult result = Decode(c.bytes, c.moreMayFollow);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.consumed, c.consumed);
  }
}

TEST(TerminalDecoderInput, UnusableInputIsDiscardedUpToWhatMayStartAKey) {
  const std::string longSequence = "\033[" + std::string(40, '1') + "~";
  const std::string longUnfinished = "\033[" + std::string(40, '1');
  const std::vector<StatusCase> cases = {
      {"\033[5;10R"sv, true, DecodeStatus::kDiscard, 7},  // cursor position report
      {"\033[99~"sv, true, DecodeStatus::kDiscard, 5},
      {"\033[1;5X"sv, true, DecodeStatus::kDiscard, 6},
      {"\033[?1;2c"sv, true, DecodeStatus::kDiscard, 7},
      {"\033[200~pasted"sv, true, DecodeStatus::kDiscard, 6},
      {"\033[1;2$~"sv, true, DecodeStatus::kDiscard, 6},  // up to the intermediate byte
      {"\033[?2004;1$y"sv, true, DecodeStatus::kDiscard, 11},
      {"\033[1;2;3;4;5A"sv, true, DecodeStatus::kDiscard, 12},
      {"\033[97;1:4u"sv, true, DecodeStatus::kDiscard, 9},  // no event type
      {"\033[57444u"sv, true, DecodeStatus::kDiscard, 8},   // Super: no console key
      {"\033[57361u"sv, true, DecodeStatus::kDiscard, 8},   // Print Screen: the system's
      {"\033[57416u"sv, true, DecodeStatus::kDiscard, 8},   // the keypad's separator
      {"\033[60000u"sv, true, DecodeStatus::kDiscard, 8},   // a key this decoder does not know
      {"\033[?1u"sv, true, DecodeStatus::kDiscard, 5},      // the enhancement query's answer
      {"\033[55296u"sv, true, DecodeStatus::kDiscard, 8},   // a surrogate
      {"\033[9999999u"sv, true, DecodeStatus::kDiscard, 10},
      {"\033[[Z"sv, true, DecodeStatus::kDiscard, 4},
      {"\033Oz"sv, true, DecodeStatus::kDiscard, 3},
      {"\033[1\033[A"sv, true, DecodeStatus::kDiscard, 3},
      {"\033O5\033"sv, true, DecodeStatus::kDiscard, 3},
      {longSequence, true, DecodeStatus::kDiscard, 32},
      {longUnfinished, true, DecodeStatus::kDiscard, 32},
      // Bytes that are no UTF-8.
      {"\x80z"sv, true, DecodeStatus::kDiscard, 1},
      {"\xc0\x80"sv, true, DecodeStatus::kDiscard, 1},
      {"\xc3z"sv, true, DecodeStatus::kDiscard, 1},
      {"\xe0\x80\x80"sv, true, DecodeStatus::kDiscard, 1},
      {"\xed\xa0\x80"sv, true, DecodeStatus::kDiscard, 1},
      {"\xe2\x96z"sv, true, DecodeStatus::kDiscard, 2},
      {"\xf4\x90\x80\x80"sv, true, DecodeStatus::kDiscard, 1},
      {"\xf5"sv, true, DecodeStatus::kDiscard, 1},
      {"\xff"sv, true, DecodeStatus::kDiscard, 1},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(Printable(c.bytes));
    const DecodeResult result = Decode(c.bytes, c.moreMayFollow);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.consumed, c.consumed);
  }
}

TEST(TerminalDecoderInput, DecodingResumesAfterDiscardedBytes) {
  EXPECT_EQ(CodesOf("\033[1\033[A"sv), (std::vector<int>{0, 72}));
  EXPECT_EQ(CodesOf("\xc3z\x80y"sv), (std::vector<int>{122, 121}));
  // Past the longest sequence, the rest of the run is typed characters again.
  std::vector<int> expected(10, ';');
  expected.insert(expected.end(), {'A', 'x'});
  EXPECT_EQ(CodesOf("\033[" + std::string(40, ';') + "Ax"), expected);
}

// ---- the cursor position report ------------------------------------------

TEST(FindCursorReport, FindsTheReportAmongKeys) {
  struct Case {
    std::string_view bytes;
    std::size_t offset;
    std::size_t length;
    int column;
    int row;
  };
  const std::vector<Case> cases = {
      {"\033[12;40R"sv, 0, 8, 40, 12},
      {"ab\033[3;1Rcd"sv, 2, 6, 1, 3},
      {"\033[A\033[1;5A\033[25;80R\033OP"sv, 9, 8, 80, 25},
      {"\033[;5R\033[7;9R"sv, 5, 6, 9, 7},
      {"\033\033[2;2R"sv, 1, 6, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Printable(c.bytes));
    const std::optional<frame::CursorReport> report = frame::FindCursorReport(BytesOf(c.bytes));
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->offset, c.offset);
    EXPECT_EQ(report->length, c.length);
    EXPECT_EQ(report->position, (frame::CellPosition{c.column, c.row}));
  }
}

TEST(FindCursorReport, IgnoresWhatIsNoCompleteReport) {
  const std::vector<std::string_view> cases = {
      ""sv,
      "abc"sv,
      "\033[12;40"sv,
      "\033[12R"sv,
      "\033[;5R"sv,
      "\033[5;R"sv,
      "\033[0;5R"sv,
      "\033[5;0R"sv,
      "\033[1;5A"sv,
      "\033[12;40~"sv,
      "[12;40R"sv,
      "\033[123456;1R"sv,
      "\033[?12;40R"sv,
  };
  for (std::string_view bytes : cases) {
    EXPECT_FALSE(frame::FindCursorReport(BytesOf(bytes)).has_value()) << Printable(bytes);
  }
}

}  // namespace
