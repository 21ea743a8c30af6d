// The output rules over a screen of cells and over a byte stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/frame_state.h"
#include "frame/tool_frame.h"
#include "tests/support/fake_console.h"
#include "tests/support/fake_files.h"

namespace {

using frame::CellPosition;
using frame::ScreenSize;
using testing_support::FakeConsole;
using testing_support::FakeFiles;

struct OutputCase {
  const char* name;
  ScreenSize size;
  CellPosition start;
  std::vector<std::string> writes;  // each one WriteText call
  std::string screen;               // rows joined with '\n'
  CellPosition cursor;
  int scrolls;
};

class OutputRulesTest : public ::testing::TestWithParam<OutputCase> {};

TEST_P(OutputRulesTest, DrawsAndMovesAsTheRulesSay) {
  const OutputCase& c = GetParam();
  FakeConsole console(c.size, c.start);
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  for (const std::string& text : c.writes) {
    frame::WriteText(text);
    // Every call leaves its text on the console and the cursor where the
    // next character goes.
    EXPECT_EQ(console.Unflushed(), 0);
    EXPECT_EQ(console.Cursor(), frame::OutputPosition());
  }
  EXPECT_EQ(console.Screen(), c.screen);
  EXPECT_EQ(console.Cursor(), c.cursor);
  EXPECT_EQ(console.Scrolls(), c.scrolls);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutputRulesTest,
    ::testing::Values(
        OutputCase{"backspace_overwrites", {80, 25}, {1, 1}, {"AB\bC"}, "AC", {3, 1}, 0},
        OutputCase{"backspace_in_column_1_stays", {80, 25}, {1, 2}, {"\bX"}, "\nX", {2, 2}, 0},
        OutputCase{"bell_shows_nothing", {80, 25}, {1, 1}, {"A\aB"}, "AB", {3, 1}, 0},
        OutputCase{"line_feed_keeps_column", {80, 25}, {1, 1}, {"AB\nC"}, "AB\n  C", {4, 2}, 0},
        OutputCase{"carriage_return_to_column_1", {80, 25}, {1, 1}, {"ABC\rX"}, "XBC", {2, 1}, 0},
        OutputCase{"line_end", {80, 25}, {5, 3}, {"ab\r\ncd"}, "\n\n    ab\ncd", {3, 4}, 0},
        OutputCase{"wrap_after_last_column",
                   {10, 5},
                   {1, 1},
                   {"0123456789AB"},
                   "0123456789\nAB",
                   {3, 2},
                   0},
        OutputCase{
            "full_row_leaves_next_row", {10, 5}, {1, 1}, {"0123456789"}, "0123456789", {1, 2}, 0},
        OutputCase{"line_feed_on_last_row_scrolls",
                   {10, 3},
                   {1, 2},
                   {"abc\r\n", "def\r\n", "g"},
                   "abc\ndef\ng",
                   {2, 3},
                   1},
        OutputCase{"wrap_in_last_cell_scrolls", {4, 2}, {1, 2}, {"abcd"}, "abcd", {1, 2}, 1},
        OutputCase{"many_scrolls", {3, 2}, {1, 1}, {"1\r\n2\r\n3\r\n4"}, "3\n4", {2, 2}, 2},
        OutputCase{"text_split_over_calls",
                   {80, 25},
                   {1, 1},
                   {"Fix", "ing", ": [*"},
                   "Fixing: [*",
                   {11, 1},
                   0}),
    [](const ::testing::TestParamInfo<OutputCase>& tc) { return std::string(tc.param.name); });

TEST(OutputRules, EveryOtherCodeTakesOneCell) {
  FakeConsole console({80, 25}, {1, 1});
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  std::string all;
  for (int code = 0; code < 256; ++code) {
    if (code != 7 && code != 8 && code != 10 && code != 13) all.push_back(static_cast<char>(code));
  }
  frame::WriteText(all);
  int column = 1;
  int row = 1;
  for (char c : all) {
    EXPECT_EQ(console.Cell(column, row), static_cast<std::uint8_t>(c))
        << "code " << int(static_cast<std::uint8_t>(c));
    if (++column > 80) {
      column = 1;
      ++row;
    }
  }
  EXPECT_EQ(frame::OutputPosition(), (CellPosition{column, row}));
}

TEST(OutputRules, RunsOfOneRowAreDrawnTogether) {
  FakeConsole console({10, 5}, {1, 1});
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  frame::WriteText("Hello");
  EXPECT_EQ(console.DrawCalls(), 1);
  frame::WriteText("0123456789AB");  // wraps once: one run per row
  EXPECT_EQ(console.DrawCalls(), 3);
}

TEST(OutputRules, WriteLineEndsTheLineAndWithoutTextGivesAnEmptyLine) {
  FakeConsole console({80, 25}, {1, 1});
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  frame::WriteLine("first");
  frame::WriteLine();
  frame::WriteLine("third");
  EXPECT_EQ(console.Screen(), "first\n\nthird");
  EXPECT_EQ(console.Cursor(), (CellPosition{1, 4}));
}

TEST(OutputRules, WriteNumberInDecimal) {
  const std::vector<std::pair<std::int32_t, std::string>> cases = {
      {0, "0"},
      {7, "7"},
      {-1, "-1"},
      {33554432, "33554432"},
      {2147483647, "2147483647"},
      {-2147483647 - 1, "-2147483648"}};
  for (const auto& [value, text] : cases) {
    FakeConsole console({80, 25}, {1, 1});
    FakeFiles files;
    frame::detail::Begin(console, files, {"tool"});
    frame::WriteNumber(value);
    EXPECT_EQ(console.Row(1), text);
    EXPECT_EQ(console.Cursor(), (CellPosition{static_cast<int>(text.size()) + 1, 1}));
  }
}

TEST(OutputRules, PendingFailureSilencesOutput) {
  FakeConsole console({80, 25}, {3, 2});
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  frame::RaiseIoFailure(5, nullptr);
  frame::WriteText("x");
  frame::WriteLine("y");
  frame::WriteNumber(1);
  EXPECT_EQ(console.Screen(), "");
  EXPECT_EQ(frame::OutputPosition(), (CellPosition{3, 2}));
  EXPECT_EQ(frame::TakePendingIoFailure(), 5);
  frame::WriteText("z");
  EXPECT_EQ(console.Row(2), "  z");
}

TEST(OutputRules, UnknownGeometryStartsAt80By25TopLeft) {
  FakeConsole console({100, 40}, {9, 9});
  console.SetStart(frame::ConsoleStart{});
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  EXPECT_EQ(frame::ConsoleScreenSize(), (ScreenSize{80, 25}));
  EXPECT_EQ(frame::OutputPosition(), (CellPosition{1, 1}));
}

TEST(OutputRules, StreamCarriesCharactersAndLineControlsOnly) {
  FakeConsole console = FakeConsole::Stream();
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  frame::WriteText(std::string("AB\a\bC\tD\x01\xFF", 9));
  frame::WriteLine("!");
  frame::WriteText("x\ry\nz");
  frame::MoveOutputPosition({1, 6});
  frame::WriteNumber(-12);
  EXPECT_EQ(console.StreamBytes(), std::string("ABC\tD\x01\xFF!\r\nx\ry\nz-12", 18));
  EXPECT_EQ(console.Unflushed(), 0);
}

TEST(OutputRules, RowOffsetFollowsScrollsWhereRowsCountFromOutputStart) {
  FakeConsole console({20, 5}, {1, 3});
  frame::ConsoleStart start = console.Start();
  start.rowsFromOutputStart = true;
  console.SetStart(start);
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  EXPECT_EQ(frame::OutputRowOffset(), 2);
  frame::WriteText("1\r\n2\r\n3\r\n4\r\n");  // two scrolls
  EXPECT_EQ(frame::OutputRowOffset(), 0);
  frame::WriteText("5\r\n");
  EXPECT_EQ(frame::OutputRowOffset(), -1);
}

}  // namespace

namespace {

// A window made smaller while the tool runs: output goes on in the new
// size, from the row the text now stands on, and scrolls at the new
// bottom instead of writing past it.
TEST(OutputRules, AResizedScreenIsUsedFromTheNextOutputOn) {
  FakeConsole console({20, 12}, {1, 1});
  FakeFiles files;
  frame::detail::Begin(console, files, {"tool"});
  for (int i = 1; i <= 9; ++i) frame::WriteLine("line " + std::to_string(i));
  EXPECT_EQ(frame::OutputPosition(), (CellPosition{1, 10}));
  frame::WriteText("Fixing");
  console.Resize({15, 6});  // rows 1 to 4 scroll off the top
  frame::WriteLine("]");
  frame::WriteLine("Done.");
  frame::WriteLine();
  frame::WriteLine("Press any key to continue.");
  EXPECT_EQ(frame::ConsoleScreenSize(), (ScreenSize{15, 6}));
  // Each line end on the new last row scrolled; nothing was written past it.
  EXPECT_EQ(console.Screen(), "Fixing]\nDone.\n\nPress any key t\no continue.");
  EXPECT_EQ(console.Scrolls(), 5);
  EXPECT_EQ(console.Cursor(), (CellPosition{1, 6}));
}

}  // namespace
