// The mission file reference patch: the screen rows, the entry and its
// echo, the question, the write, and the cursor placement.
#include "missionref/patch_mission_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/tool_frame.h"
#include "tests/support/fake_console.h"
#include "tests/support/fake_files.h"

namespace {

namespace ks = frame::keystate;
namespace vk = frame::vk;
using frame::CellPosition;
using frame::ConsoleEvent;
using missionref::kMissionNameOffset;
using missionref::kRequiredRomSize;
using missionref::kWrongSizeStatus;
using testing_support::FakeConsole;
using testing_support::FakeFiles;
using testing_support::FaultyFiles;
using testing_support::LoggedRequest;
using testing_support::Request;
using testing_support::keys::Char;
using testing_support::keys::Press;
using Bytes = std::vector<std::uint8_t>;
using Keys = std::vector<ConsoleEvent>;

const frame::ToolDefinition kHalvard{
    "Pelloran",
    {"Drop a (fixed) N64 C&C ROM on the icon of this program to replace the",
     "\"MISSION.ENG\" reference by a different file for extraction."},
    missionref::PatchMissionReference};

const ConsoleEvent kEnter = Press(vk::kReturn, 28, 13);
const ConsoleEvent kBackspace = Press(vk::kBack, 14, 8);
const ConsoleEvent kEscape = Press(vk::kEscape, 1, 27);
const ConsoleEvent kUp = Press(vk::kUp, 72, 0, ks::kEnhanced);        // 0, then 72
const ConsoleEvent kAlt2 = Press('2', 3, '2', ks::kLeftAlt);          // 0, then 121
const ConsoleEvent kShiftF6 = Press(vk::kF1 + 5, 64, 0, ks::kShift);  // 0, then 89
const ConsoleEvent kCtrlEnter = Press(vk::kReturn, 28, 10, ks::kLeftCtrl);

Keys Typed(std::string_view text) {
  Keys keys;
  for (const char c : text) keys.push_back(Char(c));
  return keys;
}

Keys operator+(Keys a, const Keys& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::string kConfirmStart = "Change \"MISSION.ENG\" location to \"";

// A 32 MiB image of filler with "MISSION.ENG" in the name field, made once.
const Bytes& Rom() {
  static const Bytes rom = [] {
    Bytes bytes(static_cast<std::size_t>(kRequiredRomSize));
    for (std::size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<std::uint8_t>((i * 7) % 251);
    const std::string_view name = "MISSION.ENG";
    for (std::size_t i = 0; i < name.size(); ++i) {
      bytes[static_cast<std::size_t>(kMissionNameOffset) + i] = static_cast<std::uint8_t>(name[i]);
    }
    return bytes;
  }();
  return rom;
}

// The image with `name` in the name field.
Bytes RomWithName(const Bytes& name) {
  Bytes bytes = Rom();
  std::copy(name.begin(), name.end(), bytes.begin() + kMissionNameOffset);
  return bytes;
}

Bytes NameBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

class Halvard : public ::testing::Test {
 protected:
  // Runs halvard on `rom` with the key events queued; returns the exit status.
  int Run(const Keys& keys, frame::FilePort* port = nullptr) {
    for (const ConsoleEvent& key : keys) console_.Queue(key);
    return frame::RunToolOn(kHalvard, console_, port != nullptr ? *port : files_,
                            {"halvard", "rom"});
  }
  void CreateRom(Bytes bytes = Rom()) { files_.Create("rom", std::move(bytes)); }
  const Bytes& Now() const { return files_.Bytes("rom"); }

  FakeConsole console_{{80, 25}, {1, 1}};
  FakeFiles files_;
};

TEST_F(Halvard, MainPathRowsBytesAndRequests) {
  CreateRom();
  EXPECT_EQ(Run(Typed("abcdefg.hij") + Typed("Yk")), 0);
  EXPECT_EQ(console_.Screen(),
            "Pelloran\n--------\n\nEnter the filename of the file to extract:\n\nABCDEFG.HIJ\n\n"
            "Change \"MISSION.ENG\" location to \"ABCDEFG.HIJ\"? (Y/N)\nWriting changes...Done.\n\n"
            "Press any key to continue.");
  EXPECT_EQ(Now(), RomWithName({0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x2E, 0x48, 0x49, 0x4A}));
  std::vector<LoggedRequest> expected = {
      {Request::kOpen}, {Request::kSize}, {Request::kBeginChange, kMissionNameOffset, 11}};
  for (std::int64_t i = 0; i < 11; ++i)
    expected.push_back({Request::kWrite, kMissionNameOffset + i, 1});
  expected.push_back({Request::kFlush});
  expected.push_back({Request::kEndChange});
  expected.push_back({Request::kClose});
  EXPECT_EQ(files_.Log(), expected);
  EXPECT_EQ(console_.EventsLeft(), 0u);
  EXPECT_EQ(files_.OpenCount(), 0);
  // The writes and their flush are held against interruption, and only they.
  EXPECT_EQ(console_.Holds(), (std::vector<bool>{true, false}));
}

TEST_F(Halvard, TypedNamesAreStoredAsTyped) {
  struct Case {
    Keys keys;
    Bytes name;
  };
  const std::vector<Case> cases = {
      {Typed("mission.eng"), NameBytes("MISSION.ENG")},
      {Typed("MISSION.ENG"), NameBytes("MISSION.ENG")},
      {Typed("1_.{~ zAZaz"), NameBytes("1_.{~ ZAZAZ")},
      {Typed("ab") + Keys{Press(0, 0, 0x80), Press(0, 0, 0xFF), kEscape} + Typed("cdefgh"),
       {'A', 'B', 0x80, 0xFF, 27, 'C', 'D', 'E', 'F', 'G', 'H'}},
  };
  for (const Case& c : cases) {
    FakeConsole console;
    FakeFiles files;
    files.Create("rom", Rom());
    for (const ConsoleEvent& key : c.keys + Typed("yk")) console.Queue(key);
    EXPECT_EQ(frame::RunToolOn(kHalvard, console, files, {"halvard", "rom"}), 0);
    EXPECT_EQ(files.Bytes("rom"), RomWithName(c.name));
    EXPECT_EQ(console.Row(9), "Writing changes...Done.");
  }
}

TEST_F(Halvard, WrongSizeIsRefusedWithoutReadingAKey) {
  for (const frame::FilePosition size : {kRequiredRomSize - 1, kRequiredRomSize + 1, 0}) {
    FakeConsole console;
    FakeFiles files;
    Bytes image(static_cast<std::size_t>(size), 0x4D);
    files.Create("rom", image);
    console.Queue(Char('y'));
    console.Queue(Char('k'));
    EXPECT_EQ(frame::RunToolOn(kHalvard, console, files, {"halvard", "rom"}), kWrongSizeStatus);
    EXPECT_EQ(console.Screen(),
              "Pelloran\n--------\n\nThis is not a valid ROM. Filesize must be 33554432 bytes.\n\n"
              "Press any key to continue.")
        << size;
    EXPECT_EQ(console.EventsLeft(), 1u) << "only the end prompt reads a key";
    EXPECT_EQ(files.Bytes("rom"), image);
    EXPECT_EQ(files.OpenCount(), 0);
    for (const auto& r : files.Log()) EXPECT_NE(r.request, Request::kWrite);
  }
}

TEST_F(Halvard, AnswersOtherThanYAbort) {
  for (const ConsoleEvent& answer : {Char('N'), Char('n'), kEnter, kEscape, Char(' '), Char('7')}) {
    FakeConsole console;
    FakeFiles files;
    files.Create("rom", Rom());
    for (const ConsoleEvent& key : Typed("abcdefg.hij") + Keys{answer, Char('k')})
      console.Queue(key);
    EXPECT_EQ(frame::RunToolOn(kHalvard, console, files, {"halvard", "rom"}), 0);
    EXPECT_EQ(console.Row(9), "Aborted.");
    EXPECT_EQ(console.Row(11), "Press any key to continue.");
    EXPECT_EQ(files.Bytes("rom"), Rom());
    EXPECT_EQ(files.OpenCount(), 0);
    EXPECT_EQ(console.EventsLeft(), 0u);
  }
}

TEST_F(Halvard, SpecialKeyAtTheQuestionAbortsAndItsSecondCodeEndsTheEndPrompt) {
  CreateRom();
  EXPECT_EQ(Run(Typed("abcdefg.hij") + Keys{kShiftF6, Char('k')}), 0);
  EXPECT_EQ(console_.Row(9), "Aborted.");
  EXPECT_EQ(console_.Row(11), "Press any key to continue.");
  EXPECT_EQ(console_.EventsLeft(), 1u) << "the end prompt takes the second code without waiting";
  EXPECT_EQ(Now(), Rom());
}

TEST_F(Halvard, SpecialKeyAsEleventhKeyDoesNotAnswerTheQuestion) {
  for (const ConsoleEvent& last : {kAlt2, kShiftF6}) {
    FakeConsole console;
    FakeFiles files;
    files.Create("rom", Rom());
    for (const ConsoleEvent& key : Typed("abcdefg.hi") + Keys{last}) console.Queue(key);
    bool askedWithNothingWritten = false;
    console.OnEventsExhausted([&] {
      if (askedWithNothingWritten) return;
      askedWithNothingWritten = console.Row(8).rfind(kConfirmStart, 0) == 0 &&
                                files.Bytes("rom") == Rom() && console.Row(9).empty();
      console.Queue(Char('n'));
      console.Queue(Char('k'));
    });
    EXPECT_EQ(frame::RunToolOn(kHalvard, console, files, {"halvard", "rom"}), 0);
    EXPECT_TRUE(askedWithNothingWritten) << "the question must wait for a key";
    EXPECT_EQ(console.Row(9), "Aborted.");
    EXPECT_EQ(files.Bytes("rom"), Rom());
    EXPECT_EQ(console.Cell(11, 6), 0) << "the special key's first code is character 11";
  }
}

TEST_F(Halvard, SpecialKeyAsEleventhKeyStandsInTheNameWhenConfirmed) {
  CreateRom();
  EXPECT_EQ(Run(Typed("abcdefg.hi") + Keys{kAlt2} + Typed("yk")), 0);
  EXPECT_EQ(Now(), RomWithName({'A', 'B', 'C', 'D', 'E', 'F', 'G', '.', 'H', 'I', 0}));
  EXPECT_EQ(console_.EventsLeft(), 0u);
}

TEST_F(Halvard, EnterAsFifthKeyKeepsTheDefaultLetterAndRestartsTheConfirmationRow) {
  CreateRom();
  EXPECT_EQ(Run(Typed("abcd") + Keys{kEnter} + Typed("efghij") + Typed("yk")), 0);
  EXPECT_EQ(console_.Row(6), "ABCDIEFGHIJ");
  // "EFGHIJ" and the question's end overwrite the start of the row.
  EXPECT_EQ(console_.Row(8), "EFGHIJ\"? (Y/N)N.ENG\" location to \"ABCD");
  EXPECT_EQ(console_.Row(9), "Writing changes...Done.");
  EXPECT_EQ(Now(), RomWithName({'A', 'B', 'C', 'D', 0x0D, 'E', 'F', 'G', 'H', 'I', 'J'}));
}

TEST_F(Halvard, BackspaceAsThirdKeyErasesNothing) {
  CreateRom();
  EXPECT_EQ(Run(Typed("ab") + Keys{kBackspace} + Typed("cdefghij") + Typed("yk")), 0);
  EXPECT_EQ(console_.Row(6), "ABSCDEFGHIJ");
  EXPECT_EQ(console_.Row(8), kConfirmStart + "ACDEFGHIJ\"? (Y/N)");
  EXPECT_EQ(Now(), RomWithName({'A', 'B', 8, 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'}));
}

TEST_F(Halvard, SpecialKeyAsFourthKeyFillsTwoPositions) {
  CreateRom();
  EXPECT_EQ(Run(Typed("abc") + Keys{kUp} + Typed("defghi") + Typed("yk")), 0);
  EXPECT_EQ(console_.Cell(4, 6), 0);
  EXPECT_EQ(console_.Row(6), std::string("ABC") + '\0' + "HDEFGHI");
  EXPECT_EQ(Now(), RomWithName({'A', 'B', 'C', 0, 'H', 'D', 'E', 'F', 'G', 'H', 'I'}));
  EXPECT_EQ(console_.EventsLeft(), 0u);
}

TEST_F(Halvard, LineFeedAsEleventhKeyMovesTheConfirmationLineDown) {
  CreateRom();
  EXPECT_EQ(Run(Typed("abcdefghij") + Keys{kCtrlEnter} + Typed("yk")), 0);
  EXPECT_EQ(console_.Row(6), "ABCDEFGHIJG");
  EXPECT_EQ(console_.Row(7), "");
  EXPECT_EQ(console_.Row(8), "");
  EXPECT_EQ(console_.Row(9), kConfirmStart + "ABCDEFGHIJ");
  EXPECT_EQ(console_.Row(10), std::string(44, ' ') + "\"? (Y/N)");
  EXPECT_EQ(console_.Row(11), "Writing changes...Done.");
  EXPECT_EQ(console_.Row(13), "Press any key to continue.");
  EXPECT_EQ(Now()[static_cast<std::size_t>(kMissionNameOffset) + 10], 10);
}

TEST_F(Halvard, CursorStandsOnTheEntryCellWhileEachKeyIsAwaited) {
  CreateRom();
  const Keys keys = Typed("abcdefg.hij") + Typed("yk");
  std::vector<CellPosition> cursors;
  std::vector<int> openCounts;
  std::size_t next = 0;
  console_.OnEventsExhausted([&] {
    if (next >= keys.size()) return;
    cursors.push_back(console_.Cursor());
    openCounts.push_back(files_.OpenCount());
    console_.Queue(keys[next++]);
  });
  EXPECT_EQ(Run({}), 0);
  ASSERT_EQ(cursors.size(), keys.size());
  for (int i = 1; i <= 11; ++i) {
    EXPECT_EQ(cursors[static_cast<std::size_t>(i - 1)], (CellPosition{i, 6})) << "key " << i;
  }
  EXPECT_EQ(cursors[11], (CellPosition{1, 9})) << "at the question";
  EXPECT_EQ(openCounts, (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}))
      << "held through the entry and the question, released before the end prompt";
}

TEST_F(Halvard, FileIsReleasedBeforeTheEndPromptAfterAnAbort) {
  CreateRom();
  for (const ConsoleEvent& key : Typed("abcdefg.hij") + Typed("n")) console_.Queue(key);
  int openAtEndPrompt = -1;
  console_.OnEventsExhausted([&] {
    if (openAtEndPrompt != -1) return;
    openAtEndPrompt = files_.OpenCount();
    console_.Queue(Char('k'));
  });
  EXPECT_EQ(Run({}), 0);
  EXPECT_EQ(console_.Row(9), "Aborted.");
  EXPECT_EQ(openAtEndPrompt, 0);
}

TEST_F(Halvard, TerminalRowsCountFromWhereOutputBegan) {
  frame::ConsoleStart start;
  start.kind = frame::ConsoleKind::kScreen;
  start.sizeKnown = true;
  start.size = {80, 25};
  start.cursorKnown = true;
  start.cursor = {1, 4};
  start.rowsFromOutputStart = true;
  console_.SetStart(start);
  console_.FillRow(1, "$ halvard rom.z64");
  CreateRom();
  EXPECT_EQ(Run(Typed("abcdefg.hij") + Typed("yk")), 0);
  EXPECT_EQ(
      console_.Screen(),
      "$ halvard rom.z64\n\n\nPelloran\n--------\n\nEnter the filename of the file to extract:\n\n"
      "ABCDEFG.HIJ\n\nChange \"MISSION.ENG\" location to \"ABCDEFG.HIJ\"? (Y/N)\n"
      "Writing changes...Done.\n\nPress any key to continue.");
  EXPECT_EQ(Now(), RomWithName(NameBytes("ABCDEFG.HIJ")));
}

TEST_F(Halvard, TerminalRowsFollowScrolling) {
  frame::ConsoleStart start;
  start.kind = frame::ConsoleKind::kScreen;
  start.sizeKnown = true;
  start.size = {80, 25};
  start.cursorKnown = true;
  start.cursor = {1, 24};
  start.rowsFromOutputStart = true;
  console_.SetStart(start);
  CreateRom();
  EXPECT_EQ(Run(Typed("abcdefg.hij") + Typed("yk")), 0);
  EXPECT_EQ(console_.Row(17), "Enter the filename of the file to extract:");
  EXPECT_EQ(console_.Row(19), "ABCDEFG.HIJ");
  EXPECT_EQ(console_.Row(20), "");
  EXPECT_EQ(console_.Row(21), kConfirmStart + "ABCDEFG.HIJ\"? (Y/N)");
  EXPECT_EQ(console_.Row(22), "Writing changes...Done.");
  EXPECT_EQ(console_.Row(24), "Press any key to continue.");
}

TEST_F(Halvard, ScreenBufferRowsAreAbsolute) {
  frame::ConsoleStart start;
  start.kind = frame::ConsoleKind::kScreen;
  start.sizeKnown = true;
  start.size = {80, 25};
  start.cursorKnown = true;
  start.cursor = {1, 4};
  console_.SetStart(start);
  console_.FillRow(1, "earlier");
  CreateRom();
  EXPECT_EQ(Run(Typed("abcdefg.hij") + Typed("yk")), 0);
  // The echo goes to row 6; what follows it continues from row 7, over
  // the rows the prompt wrote.
  EXPECT_EQ(
      console_.Screen(),
      "earlier\n\n\nPelloran\n--------\nABCDEFG.HIJ\nEnter the filename of the file to extract:\n"
      "Change \"MISSION.ENG\" location to \"ABCDEFG.HIJ\"? (Y/N)\nWriting changes...Done.\n\n"
      "Press any key to continue.");
  EXPECT_EQ(Now(), RomWithName(NameBytes("ABCDEFG.HIJ")));
}

TEST_F(Halvard, ByteStreamRun) {
  struct Case {
    std::string input;
    Bytes name;  // empty: nothing written
  };
  const std::vector<Case> cases = {
      {"abcdefg.hijyk", NameBytes("ABCDEFG.HIJ")},
      // An input that ends gives Escape from then on.
      {"abc" + std::string(10, '\x1B'), {}},
  };
  for (const Case& c : cases) {
    FakeConsole console = FakeConsole::Stream();
    FakeFiles files;
    files.Create("rom", Rom());
    console.QueueBytes(c.input);
    EXPECT_EQ(frame::RunToolOn(kHalvard, console, files, {"halvard", "rom"}), 0);
    EXPECT_EQ(files.Bytes("rom"), c.name.empty() ? Rom() : RomWithName(c.name));
    EXPECT_EQ(console.EventsLeft(), 0u);
    const std::string& shown = console.StreamBytes();
    if (c.name.empty()) {
      EXPECT_NE(shown.find("\r\nAborted.\r\n\r\nPress any key to continue.\r\n"), std::string::npos)
          << shown;
    } else {
      EXPECT_NE(
          shown.find(
              "Enter the filename of the file to extract:\r\n\r\nMISSION.ENGABCDEFG.HIJ\r\n\r\n" +
              kConfirmStart + "ABCDEFG.HIJ\"? (Y/N)\r\nWriting changes...Done.\r\n\r\n"),
          std::string::npos)
          << shown;
    }
  }
}

TEST_F(Halvard, WriteFailureKeepsTheBytesBeforeItAndIsReported) {
  // Requests: the open, the size, the start of the change, then 11 writes
  // and the flush.
  for (const int written : {0, 4, 10, 11}) {
    FakeConsole console;
    FakeFiles files;
    files.Create("rom", Rom());
    FaultyFiles faulty(files, 3 + written + 1, 5);
    for (const ConsoleEvent& key : Typed("abcdefg.hij") + Typed("yk")) console.Queue(key);
    EXPECT_EQ(frame::RunToolOn(kHalvard, console, faulty, {"halvard", "rom"}), 5) << written;
    Bytes name = NameBytes("MISSION.ENG");
    const std::string typed = "ABCDEFG.HIJ";
    std::copy_n(typed.begin(), written, name.begin());
    EXPECT_EQ(files.Bytes("rom"), RomWithName(name)) << written;
    EXPECT_EQ(console.Row(9), "Writing changes...") << written;
    EXPECT_EQ(console.Row(10).rfind("Runtime error 5 at 0x", 0), 0u) << console.Row(10);
    EXPECT_EQ(console.Screen().find("Press any key"), std::string::npos);
    EXPECT_EQ(console.EventsLeft(), 1u);
    EXPECT_EQ(files.OpenCount(), 0);
  }
}

// Another program changed the image while the tool waited for the name:
// nothing is written, and the failure report says why.
TEST_F(Halvard, AnImageChangedMeanwhileIsNotWritten) {
  CreateRom();
  console_.OnWait([&] { files_.ChangeElsewhere("rom"); });
  files_.ChangeElsewhere("rom");
  EXPECT_EQ(Run(Typed("abcdefg.hij") + Typed("yk")), frame::kFileChangedCode);
  EXPECT_EQ(Now(), Rom());
  EXPECT_EQ(console_.Row(9), "Writing changes...");
  EXPECT_EQ(console_.Row(10).rfind("Runtime error 202 at 0x", 0), 0u) << console_.Row(10);
  for (const LoggedRequest& request : files_.Log()) EXPECT_NE(request.request, Request::kWrite);
  EXPECT_EQ(files_.OpenCount(), 0);
}

TEST_F(Halvard, OpenFailureShowsNoPrompt) {
  CreateRom();
  files_.MakeReadOnly("rom");
  EXPECT_EQ(Run(Typed("ab")), FakeFiles::kDenied);
  EXPECT_EQ(console_.Screen(),
            "Pelloran\n--------\n\n\nError opening \"rom\"\n\nPress any key to continue.");
  EXPECT_EQ(console_.EventsLeft(), 1u);
  EXPECT_EQ(Now(), Rom());
}

// SetCursor on its own, inside a run so that the console is bound.
std::vector<CellPosition> g_positions;

void PlaceAndRecord(std::string_view) {
  const std::vector<std::pair<int, int>> calls = {{0, 6},   {1, 0}, {81, 6}, {1, 26},
                                                  {80, 25}, {0, 0}, {5, 3},  {255, 255}};
  for (const auto& [column, row] : calls) {
    missionref::SetCursor(static_cast<std::uint8_t>(column), static_cast<std::uint8_t>(row));
    g_positions.push_back(frame::OutputPosition());
  }
}

TEST(SetCursor, CellsOffTheScreenAreIgnored) {
  FakeConsole console({80, 25}, {7, 10});
  FakeFiles files;
  console.Queue(Char('k'));
  g_positions.clear();
  const frame::ToolDefinition tool{"T", {"u"}, PlaceAndRecord};
  frame::RunToolOn(tool, console, files, {"t", "x"});
  const CellPosition start{1, 13};  // below the banner
  EXPECT_EQ(g_positions, (std::vector<CellPosition>{
                             start, start, start, start, {80, 25}, {80, 25}, {5, 3}, {5, 3}}));
}

TEST(SetCursor, TerminalRowsThatLandOffTheScreenAreIgnored) {
  FakeConsole console({80, 25});
  frame::ConsoleStart start;
  start.kind = frame::ConsoleKind::kScreen;
  start.sizeKnown = true;
  start.size = {80, 25};
  start.cursorKnown = true;
  start.cursor = {1, 10};
  start.rowsFromOutputStart = true;
  console.SetStart(start);
  FakeFiles files;
  console.Queue(Char('k'));
  g_positions.clear();
  const frame::ToolDefinition tool{"T", {"u"}, PlaceAndRecord};
  frame::RunToolOn(tool, console, files, {"t", "x"});
  // Rows count from row 10: 25 and 6 land on 34 and 15; 3 on 12.
  const CellPosition below{1, 13};
  EXPECT_EQ(g_positions, (std::vector<CellPosition>{
                             below, below, below, below, below, below, {5, 12}, {5, 12}}));
}

}  // namespace
