// The key rules, event by event, with events shaped as a Win32 console
// reports them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/frame_state.h"
#include "frame/tool_frame.h"
#include "tests/support/fake_console.h"
#include "tests/support/fake_files.h"

namespace {

namespace ks = frame::keystate;
namespace vk = frame::vk;
using frame::ConsoleEvent;
using testing_support::FakeConsole;
using testing_support::FakeFiles;
using testing_support::keys::Char;
using testing_support::keys::Press;
using testing_support::keys::Release;

constexpr std::uint32_t E = ks::kEnhanced;

// Every code the events give, read one by one until none is available.
std::vector<int> CodesOf(const std::vector<ConsoleEvent>& events) {
  FakeConsole console;
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  for (const ConsoleEvent& event : events) console.Queue(event);
  std::vector<int> codes;
  while (frame::KeyAvailable()) codes.push_back(frame::ReadKeyCode());
  return codes;
}

// A key pressed and released, as a console reports a tap.
std::vector<ConsoleEvent> Tap(const ConsoleEvent& press) {
  ConsoleEvent release = press;
  release.pressed = false;
  return {press, release};
}

std::vector<ConsoleEvent> AltNumber(const std::vector<int>& digits,
                                    std::uint32_t alt = ks::kLeftAlt, std::uint8_t character = 0) {
  const std::uint16_t altKey = vk::kMenu;
  std::vector<ConsoleEvent> events{Press(altKey, 56, 0, alt)};
  for (int d : digits) {
    const auto key = static_cast<std::uint16_t>(vk::kNumpad0 + d);
    events.push_back(Press(key, 82, character, alt | ks::kNumLock));
    events.push_back(Release(key, 82, 0, alt | ks::kNumLock));
  }
  events.push_back(Release(altKey, 56, 0, ks::kNumLock));
  return events;
}

struct KeyCase {
  const char* name;
  std::vector<ConsoleEvent> events;
  std::vector<int> codes;
};

class KeyRulesTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyRulesTest, GivesTheCodes) { EXPECT_EQ(CodesOf(GetParam().events), GetParam().codes); }

INSTANTIATE_TEST_SUITE_P(
    OrdinaryKeys, KeyRulesTest,
    ::testing::Values(
        KeyCase{"a", Tap(Char('a')), {97}}, KeyCase{"shift_a", Tap(Char('A')), {65}},
        KeyCase{"underscore", {Char('_')}, {95}},
        KeyCase{"escape", {Press(vk::kEscape, 1, 27)}, {27}},
        KeyCase{"backspace", {Press(vk::kBack, 14, 8)}, {8}},
        KeyCase{"ctrl_backspace", {Press(vk::kBack, 14, 127, ks::kLeftCtrl)}, {127}},
        KeyCase{"tab", {Press(vk::kTab, 15, 9)}, {9}},
        KeyCase{"enter", {Press(vk::kReturn, 28, 13)}, {13}},
        KeyCase{"keypad_enter", {Press(vk::kReturn, 28, 13, E)}, {13}},
        KeyCase{"left_alt_enter", {Press(vk::kReturn, 28, 13, ks::kLeftAlt)}, {13}},
        KeyCase{"ctrl_enter", {Press(vk::kReturn, 28, 10, ks::kLeftCtrl)}, {10}},
        KeyCase{"ctrl_a", {Press('A', 30, 1, ks::kLeftCtrl)}, {1}},
        KeyCase{"ctrl_open_bracket", {Press(0xDB, 26, 27, ks::kLeftCtrl)}, {27}},
        KeyCase{"altgr_q_at_sign", {Press('Q', 16, '@', ks::kRightAlt | ks::kLeftCtrl)}, {64}},
        KeyCase{"keypad_digit", {Press(vk::kNumpad0 + 5, 76, '5', ks::kNumLock)}, {53}},
        KeyCase{"keypad_star", {Press(vk::kMultiply, 55, '*')}, {42}},
        KeyCase{"code_page_character", {Press(0xDE, 40, 130)}, {130}},
        KeyCase{"repeats_give_one_code_each", {Char('x'), Char('x'), Char('x')}, {120, 120, 120}}),
    [](const auto& tc) { return std::string(tc.param.name); });

INSTANTIATE_TEST_SUITE_P(
    SpecialKeys, KeyRulesTest,
    ::testing::Values(
        KeyCase{"f1", {Press(vk::kF1, 59, 0)}, {0, 59}},
        KeyCase{"f10", {Press(vk::kF1 + 9, 68, 0)}, {0, 68}},
        KeyCase{"f11", {Press(vk::kF1 + 10, 87, 0)}, {0, 133}},
        KeyCase{"f12", {Press(vk::kF12, 88, 0)}, {0, 134}},
        KeyCase{"shift_f1", {Press(vk::kF1, 59, 0, ks::kShift)}, {0, 84}},
        KeyCase{"ctrl_f1", {Press(vk::kF1, 59, 0, ks::kRightCtrl)}, {0, 94}},
        KeyCase{"alt_f1", {Press(vk::kF1, 59, 0, ks::kLeftAlt)}, {0, 104}},
        KeyCase{"shift_f6", {Press(vk::kF1 + 5, 64, 0, ks::kShift)}, {0, 89}},
        KeyCase{"shift_f12", {Press(vk::kF12, 88, 0, ks::kShift)}, {0, 136}},
        KeyCase{"alt_beats_ctrl_and_shift",
                {Press(vk::kF1, 59, 0, ks::kLeftAlt | ks::kLeftCtrl | ks::kShift)},
                {0, 104}},
        KeyCase{"ctrl_beats_shift", {Press(vk::kF1, 59, 0, ks::kLeftCtrl | ks::kShift)}, {0, 94}},
        KeyCase{"home", {Press(vk::kHome, 71, 0, E)}, {0, 71}},
        KeyCase{"up", {Press(vk::kUp, 72, 0, E)}, {0, 72}},
        KeyCase{"page_up", {Press(vk::kPrior, 73, 0, E)}, {0, 73}},
        KeyCase{"left", {Press(vk::kLeft, 75, 0, E)}, {0, 75}},
        KeyCase{"right", {Press(vk::kRight, 77, 0, E)}, {0, 77}},
        KeyCase{"end", {Press(vk::kEnd, 79, 0, E)}, {0, 79}},
        KeyCase{"down", {Press(vk::kDown, 80, 0, E)}, {0, 80}},
        KeyCase{"page_down", {Press(vk::kNext, 81, 0, E)}, {0, 81}},
        KeyCase{"insert", {Press(vk::kInsert, 82, 0, E)}, {0, 82}},
        KeyCase{"delete", {Press(vk::kDelete, 83, 0, E)}, {0, 83}},
        KeyCase{"shift_up_is_up", {Press(vk::kUp, 72, 0, E | ks::kShift)}, {0, 72}},
        KeyCase{"ctrl_home", {Press(vk::kHome, 71, 0, E | ks::kLeftCtrl)}, {0, 119}},
        KeyCase{"ctrl_up", {Press(vk::kUp, 72, 0, E | ks::kLeftCtrl)}, {0, 141}},
        KeyCase{"alt_up", {Press(vk::kUp, 72, 0, E | ks::kLeftAlt)}, {0, 152}},
        KeyCase{"keypad_home_numlock_off", {Press(vk::kHome, 71, 0)}, {0, 71}},
        KeyCase{"ctrl_keypad_up", {Press(vk::kUp, 72, 0, ks::kLeftCtrl)}, {0, 141}},
        KeyCase{"keypad_5_numlock_off", {Press(0x0C, 76, 0)}, {0, 76}},
        KeyCase{"alt_1", {Press('1', 2, '1', ks::kLeftAlt)}, {0, 120}},
        KeyCase{"alt_2", {Press('2', 3, '2', ks::kLeftAlt)}, {0, 121}},
        KeyCase{"alt_a", {Press('A', 30, 'a', ks::kLeftAlt)}, {0, 30}},
        KeyCase{"alt_escape", {Press(vk::kEscape, 1, 27, ks::kLeftAlt)}, {0, 1}},
        KeyCase{"alt_backspace", {Press(vk::kBack, 14, 8, ks::kLeftAlt)}, {0, 14}},
        KeyCase{"alt_space", {Press(vk::kSpace, 57, ' ', ks::kLeftAlt)}, {0, 57}},
        KeyCase{"ctrl_2_nul", {Press('2', 3, 0, ks::kLeftCtrl)}, {0, 3}},
        KeyCase{"ctrl_1_has_no_code_gives_scan_code", {Press('1', 2, 0, ks::kLeftCtrl)}, {0, 2}},
        KeyCase{"keypad_slash", {Press(vk::kDivide, 53, '/', E)}, {0, 53}},
        KeyCase{"ctrl_keypad_slash", {Press(vk::kDivide, 53, 0, E | ks::kLeftCtrl)}, {0, 149}},
        KeyCase{"ctrl_keypad_plus", {Press(vk::kAdd, 78, 0, ks::kLeftCtrl)}, {0, 78}},
        KeyCase{"alt_keypad_plus", {Press(vk::kAdd, 78, '+', ks::kLeftAlt)}, {0, 78}},
        KeyCase{"ctrl_keypad_enter", {Press(vk::kReturn, 28, 10, E | ks::kLeftCtrl)}, {0, 28}},
        KeyCase{"alt_keypad_enter_is_enter", {Press(vk::kReturn, 28, 13, E | ks::kLeftAlt)}, {13}},
        KeyCase{"shift_tab", {Press(vk::kTab, 15, 0, ks::kShift)}, {0, 15}},
        KeyCase{"ctrl_tab", {Press(vk::kTab, 15, 0, ks::kLeftCtrl)}, {0, 148}},
        KeyCase{"unknown_key_gives_scan_code", {Press(0x5B, 91, 0, E)}, {0, 91}},
        KeyCase{"second_code_then_next_key", {Press(vk::kF1, 59, 0), Char('a')}, {0, 59, 97}}),
    [](const auto& tc) { return std::string(tc.param.name); });

INSTANTIATE_TEST_SUITE_P(
    DroppedEvents, KeyRulesTest,
    ::testing::Values(KeyCase{"modifiers_and_locks_alone",
                              {Press(vk::kShift, 42, 0, ks::kShift), Release(vk::kShift, 42),
                               Press(vk::kControl, 29, 0, ks::kLeftCtrl), Release(vk::kControl, 29),
                               Press(vk::kMenu, 56, 0, ks::kLeftAlt), Release(vk::kMenu, 56),
                               Press(vk::kMenu, 56, 0, ks::kRightAlt | E),
                               Release(vk::kMenu, 56, 0, E), Press(vk::kCapital, 58, 0),
                               Press(vk::kNumLock, 69, 0, E), Press(vk::kScroll, 70, 0),
                               Press(vk::kLShift, 42, 0), Press(vk::kRControl, 29, 0, E)},
                              {}},
                      KeyCase{"releases",
                              {Release('A', 30, 'a'), Release(vk::kF1, 59),
                               Release(vk::kReturn, 28, 13)},
                              {}},
                      KeyCase{"other_events",
                              {testing_support::keys::Mouse(),
                               {frame::ConsoleEventKind::kFocus},
                               {frame::ConsoleEventKind::kWindowSize},
                               {frame::ConsoleEventKind::kMenu}},
                              {}},
                      KeyCase{"the_next_key_that_counts_after_them",
                              {Press(vk::kShift, 42, 0, ks::kShift), testing_support::keys::Mouse(),
                               Release('X', 45, 'x'), Char('x')},
                              {120}}),
    [](const auto& tc) { return std::string(tc.param.name); });

INSTANTIATE_TEST_SUITE_P(
    AltKeypadNumbers, KeyRulesTest,
    ::testing::Values(
        KeyCase{"left_alt_6_5_gives_65_at_release", AltNumber({6, 5}), {65}},
        KeyCase{"300_wraps_to_44", AltNumber({3, 0, 0}), {44}},
        KeyCase{"0_alone_gives_nothing", AltNumber({0}), {}},
        KeyCase{"256_is_0_and_gives_nothing", AltNumber({2, 5, 6}), {}},
        KeyCase{"three_digit_code_page_character", AltNumber({1, 3, 0}), {130}},
        KeyCase{"right_alt_digits_without_character_count", AltNumber({6, 6}, ks::kRightAlt), {66}},
        KeyCase{"right_alt_digits_with_character_are_dropped",
                AltNumber({6, 6}, ks::kRightAlt, '6'),
                {}},
        KeyCase{"left_alt_digits_with_character_count", AltNumber({6, 7}, ks::kLeftAlt, '6'), {67}},
        KeyCase{"each_alt_release_ends_a_number",
                [] {
                  auto events = AltNumber({6, 5});
                  auto more = AltNumber({6, 6});
                  events.insert(events.end(), more.begin(), more.end());
                  return events;
                }(),
                {65, 66}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(KeyRules, ByteStreamBytesAreCodesAsTheyAre) {
  FakeConsole console = FakeConsole::Stream();
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  console.QueueBytes(std::string("a\0\xFF\x1B", 4));
  std::vector<int> codes;
  while (frame::KeyAvailable()) codes.push_back(frame::ReadKeyCode());
  EXPECT_EQ(codes, (std::vector<int>{97, 0, 255, 27}));
}

TEST(KeyRules, TheEndOfTheInputReadsAsEscapeAtEveryRead) {
  FakeConsole console = FakeConsole::Stream();
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  console.QueueBytes("y");
  const frame::ConsoleEvent end{frame::ConsoleEventKind::kEndOfInput};
  for (int i = 0; i < 3; ++i) console.Queue(end);
  std::vector<int> codes;
  while (frame::KeyAvailable()) codes.push_back(frame::ReadKeyCode());
  EXPECT_EQ(codes, (std::vector<int>{'y', 27, 27, 27}));
}

// ReadKeyCode blocks in the console's wait until input comes, and a key
// that comes during any wait is returned right after that wait.
TEST(KeyRules, ReadKeyCodeWaitsUntilAKeyComesAndNoLonger) {
  for (const int arrivesDuring : {1, 2, 7}) {
    SCOPED_TRACE(arrivesDuring);
    FakeConsole console;
    FakeFiles files;
    frame::detail::Begin(console, files, {"tool"});
    console.OnWait([&] {
      if (console.Waits() == arrivesDuring) console.Queue(Char('k'));
    });
    EXPECT_EQ(frame::ReadKeyCode(), 'k');
    EXPECT_EQ(console.Waits(), arrivesDuring);
  }
}

TEST(KeyRules, ACodeAlreadyThereIsReadWithoutAWait) {
  FakeConsole console;
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  // A key typed earlier, and the second code of a special key.
  console.Queue(Char('a'));
  console.Queue(Press(vk::kF1, 59, 0));
  EXPECT_EQ(frame::ReadKeyCode(), 'a');
  EXPECT_EQ(frame::ReadKeyCode(), 0);
  EXPECT_EQ(frame::ReadKeyCode(), 59);
  EXPECT_EQ(console.Waits(), 0);
}

// Events that are no key do not end the wait: the reader waits again.
TEST(KeyRules, EventsThatAreNoKeyKeepTheReaderWaiting) {
  FakeConsole console;
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  console.OnWait([&] {
    if (console.Waits() == 1) console.Queue(testing_support::keys::Mouse());
    if (console.Waits() == 2) console.Queue(Release('A', 30, 'a'));
    if (console.Waits() == 3) console.Queue(Char('z'));
  });
  EXPECT_EQ(frame::ReadKeyCode(), 'z');
  EXPECT_EQ(console.Waits(), 3);
}

TEST(KeyRules, DroppingThePendingSecondCode) {
  FakeConsole console;
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  console.Queue(Press('2', 3, '2', ks::kLeftAlt));
  console.Queue(Char('n'));
  EXPECT_EQ(frame::ReadKeyCode(), 0);
  EXPECT_TRUE(frame::DropPendingKeyCode());
  EXPECT_FALSE(frame::DropPendingKeyCode());
  EXPECT_EQ(frame::ReadKeyCode(), 'n');
}

TEST(KeyRules, KeyInputIgnoresThePendingFailure) {
  FakeConsole console;
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  frame::RaiseIoFailure(5, nullptr);
  console.Queue(Char('q'));
  EXPECT_TRUE(frame::KeyAvailable());
  EXPECT_EQ(frame::ReadKeyCode(), 'q');
}

}  // namespace
