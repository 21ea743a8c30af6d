// The life of a program: banner, usage or action, end prompt, failure report.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "frame/tool_frame.h"
#include "tests/support/fake_console.h"
#include "tests/support/fake_files.h"

namespace {

namespace ks = frame::keystate;
namespace vk = frame::vk;
using frame::CellPosition;
using testing_support::FakeConsole;
using testing_support::FakeFiles;
using testing_support::keys::Char;
using testing_support::keys::Press;
using testing_support::keys::Release;

std::vector<std::string> g_actionArguments;
int g_actionArgumentCount = -1;

void RecordingAction(std::string_view argument) {
  g_actionArguments.emplace_back(argument);
  g_actionArgumentCount = frame::ArgumentCount();
}

void FailingAction(std::string_view) {
  frame::WriteText("Working");
  frame::RaiseIoFailure(29, nullptr);
  frame::WriteText(" silenced");
}

const frame::ToolDefinition kOskebarLike{
    "Oskebar", {"Drop the C&C N64 ROM onto the icon of this program to fix it."}, RecordingAction};

TEST(ToolFrame, UsageScreenWithoutArgument) {
  FakeConsole console({80, 25}, {1, 1});
  FakeFiles files;
  console.Queue(Char('x'));
  g_actionArguments.clear();
  EXPECT_EQ(frame::RunToolOn(kOskebarLike, console, files, {"oskebar"}), 0);
  EXPECT_EQ(console.Screen(),
            "Oskebar\n-------\n\nDrop the C&C N64 ROM onto the icon of this program to fix it.\n\n"
            "Press any key to continue.");
  EXPECT_EQ(console.Cursor(), (CellPosition{1, 7}));
  EXPECT_TRUE(g_actionArguments.empty());
  EXPECT_EQ(console.EventsLeft(), 0u);
}

TEST(ToolFrame, OutputBeginsAtTheCursorsStartingPlaceAndUnderlineMatchesTitle) {
  FakeConsole console({80, 25}, {1, 4});
  console.FillRow(1, "earlier output");
  FakeFiles files;
  console.Queue(Char('x'));
  const frame::ToolDefinition tool{"Dravimund", {"line one", "line two"}, RecordingAction};
  EXPECT_EQ(frame::RunToolOn(tool, console, files, {"dravimund"}), 0);
  EXPECT_EQ(console.Screen(),
            "earlier output\n\n\nDravimund\n---------\n\nline one\nline two\n\nPress any key to "
            "continue.");
}

TEST(ToolFrame, OnlyTheFirstArgumentReachesTheAction) {
  FakeConsole console;
  FakeFiles files;
  console.Queue(Char('x'));
  g_actionArguments.clear();
  EXPECT_EQ(
      frame::RunToolOn(kOskebarLike, console, files, {"oskebar", "a file.z64", "second", "third"}),
      0);
  EXPECT_EQ(g_actionArguments, std::vector<std::string>{"a file.z64"});
  EXPECT_EQ(g_actionArgumentCount, 3);
  EXPECT_EQ(frame::Argument(3), "third");
  EXPECT_EQ(frame::Argument(4), "");
  EXPECT_EQ(frame::Argument(0), "oskebar");
}

TEST(ToolFrame, EndPromptWaitsForAKeyThatCounts) {
  FakeConsole console;
  FakeFiles files;
  // Modifier keys alone, releases and mouse events do not end the wait.
  console.Queue(Press(vk::kShift, 42, 0, ks::kShift));
  console.Queue(Release(vk::kShift, 42));
  console.Queue(Press(vk::kControl, 29, 0, ks::kLeftCtrl));
  console.Queue(Press(vk::kMenu, 56, 0, ks::kLeftAlt));
  console.Queue(Press(vk::kCapital, 58, 0));
  console.Queue(Press(vk::kNumLock, 69, 0));
  console.Queue(Press(vk::kScroll, 70, 0));
  console.Queue(testing_support::keys::Mouse());
  console.Queue(Release('A', 30, 'a'));
  bool promptShown = false;
  int pollsAfterPrompt = 0;
  console.OnEventsExhausted([&] {
    promptShown = console.Screen().find("Press any key to continue.") != std::string::npos;
    if (promptShown && ++pollsAfterPrompt == 50) console.Queue(Char('z'));
  });
  console.Queue(Char('q'));
  // 'q' is there already, typed before the prompt: it ends the wait at once.
  EXPECT_EQ(frame::RunToolOn(kOskebarLike, console, files, {"oskebar"}), 0);
  EXPECT_EQ(pollsAfterPrompt, 0);
  EXPECT_EQ(console.EventsLeft(), 0u);

  // A key typed at any moment ends the prompt right after the wait in
  // which it came; the prompt waits in the console, never spinning.
  for (const int arrivesDuring : {1, 3, 40}) {
    SCOPED_TRACE(arrivesDuring);
    FakeConsole waiting;
    bool prompted = false;
    waiting.OnWait([&] {
      prompted = waiting.Screen().find("Press any key to continue.") != std::string::npos;
      if (waiting.Waits() == arrivesDuring) waiting.Queue(Char('z'));
    });
    EXPECT_EQ(frame::RunToolOn(kOskebarLike, waiting, files, {"oskebar"}), 0);
    EXPECT_TRUE(prompted) << "the prompt stands on the screen while the program waits";
    EXPECT_EQ(waiting.Waits(), arrivesDuring);
    EXPECT_EQ(waiting.EventsLeft(), 0u);
  }
}

TEST(ToolFrame, SpecialKeyEndsThePromptWithOneRead) {
  FakeConsole console;
  FakeFiles files;
  console.Queue(Press(vk::kF1, 59, 0));
  console.Queue(Char('a'));
  EXPECT_EQ(frame::RunToolOn(kOskebarLike, console, files, {"oskebar"}), 0);
  EXPECT_EQ(console.EventsLeft(), 1u);  // 'a' is never taken
}

TEST(ToolFrame, PendingFailureGivesTheFailureReportInsteadOfThePrompt) {
  FakeConsole console({80, 25}, {1, 1});
  FakeFiles files;
  console.Queue(Char('x'));
  const frame::ToolDefinition tool{"Pelloran", {"usage"}, FailingAction};
  EXPECT_EQ(frame::RunToolOn(tool, console, files, {"pelloran", "map"}), 29);
  EXPECT_EQ(console.Row(4), "Working");
  EXPECT_TRUE(std::regex_match(console.Row(5), std::regex("Runtime error 29 at 0x[0-9A-F]{8}")))
      << console.Row(5);
  EXPECT_EQ(console.Row(6), "");
  EXPECT_EQ(console.Screen().find("Press any key"), std::string::npos);
  EXPECT_EQ(console.Cursor(), (CellPosition{1, 7}));
  EXPECT_EQ(console.EventsLeft(), 1u);  // no key was read
}

TEST(ToolFrame, FailureReportWaitsForAKeyWhereTheConsoleIsTheProgramsOwn) {
  FakeConsole console({80, 25}, {1, 1});
  console.SetOwned(true);
  FakeFiles files;
  // Shift alone and a release do not end the wait; the letter does, and
  // the key after it stays unread.
  console.Queue(Press(vk::kShift, 42, 0, ks::kShift));
  console.Queue(Release(vk::kShift, 42));
  console.Queue(Char('x'));
  console.Queue(Char('y'));
  const frame::ToolDefinition tool{"Pelloran", {"usage"}, FailingAction};
  EXPECT_EQ(frame::RunToolOn(tool, console, files, {"pelloran", "map"}), 29);
  EXPECT_TRUE(std::regex_match(console.Row(5), std::regex("Runtime error 29 at 0x[0-9A-F]{8}")))
      << console.Row(5);
  // Nothing more is shown, not even the end prompt.
  EXPECT_EQ(console.Row(6), "");
  EXPECT_EQ(console.Row(7), "");
  EXPECT_EQ(console.Cursor(), (CellPosition{1, 7}));
  EXPECT_EQ(console.EventsLeft(), 1u);
}

TEST(ToolFrame, FailureReportWaitsUntilAKeyComes) {
  FakeConsole console({80, 25}, {1, 1});
  console.SetOwned(true);
  FakeFiles files;
  int waits = 0;
  console.OnWait([&] {
    if (++waits == 3) console.Queue(Char('q'));
  });
  const frame::ToolDefinition tool{"Pelloran", {"usage"}, FailingAction};
  EXPECT_EQ(frame::RunToolOn(tool, console, files, {"pelloran", "map"}), 29);
  EXPECT_EQ(waits, 3);
  EXPECT_EQ(console.EventsLeft(), 0u);
}

TEST(ToolFrame, OwnConsoleChangesNothingWithoutAFailure) {
  FakeConsole console({80, 25}, {1, 1});
  console.SetOwned(true);
  FakeFiles files;
  console.Queue(Char('x'));
  console.Queue(Char('y'));
  EXPECT_EQ(frame::RunToolOn(kOskebarLike, console, files, {"oskebar"}), 0);
  EXPECT_EQ(console.EventsLeft(), 1u);  // one key for the end prompt, no second wait
}

TEST(ToolFrame, FailureReportInAStream) {
  FakeConsole console = FakeConsole::Stream();
  FakeFiles files;
  const frame::ToolDefinition tool{"Pelloran", {"usage"}, FailingAction};
  EXPECT_EQ(frame::RunToolOn(tool, console, files, {"pelloran", "map"}), 29);
  EXPECT_TRUE(
      std::regex_match(console.StreamBytes(),
                       std::regex("Pelloran\r\n--------\r\n\r\nWorking\r\nRuntime error 29 at "
                                  "0x[0-9A-F]{8}\r\n\r\n")))
      << console.StreamBytes();
}

}  // namespace
