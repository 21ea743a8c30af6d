// The map cell pass: the cell rules, the marks, and the block pass checked
// against a plain cell-by-cell walk.
#include "mapcells/clean_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "frame/frame_state.h"
#include "frame/tool_frame.h"
#include "tests/support/fake_console.h"
#include "tests/support/fake_files.h"

namespace {

using mapcells::CellRule;
using mapcells::kDravimundRule;
using mapcells::kPelloranRule;
using testing_support::FakeConsole;
using testing_support::FakeFiles;
using testing_support::FaultyFiles;
using testing_support::LoggedRequest;
using testing_support::Request;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kMiB = 1048576;

// The walk that reads and rewrites the map one cell at a time, through a
// file position that moves as the target file's does. A cell that is not
// whole is never rewritten.
struct WalkResult {
  Bytes bytes;
  std::string marks;
};

WalkResult WalkCellByCell(const CellRule& rule, Bytes bytes) {
  WalkResult result;
  const auto size = static_cast<std::int64_t>(bytes.size());
  std::int64_t position = 0;
  std::int64_t counter = 0;
  std::uint8_t cell[2] = {0, 0};
  while (position < size) {
    position = counter;
    const std::int64_t got = std::max<std::int64_t>(0, std::min<std::int64_t>(2, size - position));
    for (std::int64_t i = 0; i < got; ++i) cell[i] = bytes[static_cast<std::size_t>(position + i)];
    position = counter;
    if (got == 2 && rule.selects(cell[0], cell[1])) {
      bytes[static_cast<std::size_t>(counter)] = rule.firstReplacement;
      bytes[static_cast<std::size_t>(counter + 1)] = rule.secondReplacement;
      position = counter + 2;
    }
    counter += 2;
    if (const auto mark = mapcells::ProgressMark(static_cast<frame::FilePosition>(counter))) {
      result.marks.push_back(*mark);
    }
  }
  result.bytes = std::move(bytes);
  return result;
}

struct PassRun {
  Bytes bytes;
  std::string stream;  // everything the console showed
  std::string marks;   // what stands between "Fixing: [*" and "]"
  int status = 0;
};

void CleanWithPelloran(std::string_view argument) { mapcells::CleanMap(kPelloranRule, argument); }
void CleanWithDravimund(std::string_view argument) { mapcells::CleanMap(kDravimundRule, argument); }

const frame::ToolDefinition& ToolFor(const CellRule& rule) {
  static const frame::ToolDefinition pelloran{"Pelloran", {"usage"}, CleanWithPelloran};
  static const frame::ToolDefinition dravimund{"Dravimund", {"usage"}, CleanWithDravimund};
  return &rule == &kPelloranRule ? pelloran : dravimund;
}

// Runs the real pass on `bytes`. At each mark it checks that every cell
// below the mark's counter value is done and every cell above it is not
// touched yet, as in the walk.
PassRun RunPass(const CellRule& rule, const Bytes& bytes, const Bytes* expected = nullptr) {
  FakeConsole console = FakeConsole::Stream();
  FakeFiles files;
  files.Create("map", bytes);
  console.QueueBytes("k");
  std::size_t seen = 0;
  std::int64_t markValue = 0;
  console.OnFlush([&] {
    const std::string& shown = console.StreamBytes();
    const std::size_t fixing = shown.find("Fixing: [*");
    if (fixing == std::string::npos || expected == nullptr) return;
    for (std::size_t i = std::max(seen, fixing + 10); i < shown.size(); ++i) {
      const char c = shown[i];
      if (c != '.' && c != '-' && c != '*') continue;
      markValue = (markValue / kMiB + 1) * kMiB;
      const Bytes& now = files.Bytes("map");
      const auto done = static_cast<std::size_t>(
          std::min<std::int64_t>(markValue, static_cast<std::int64_t>(now.size())));
      ASSERT_TRUE(std::equal(now.begin(), now.begin() + static_cast<std::ptrdiff_t>(done),
                             expected->begin()))
          << "cells below " << markValue << " not done when its mark appeared";
      ASSERT_TRUE(std::equal(now.begin() + static_cast<std::ptrdiff_t>(done), now.end(),
                             bytes.begin() + static_cast<std::ptrdiff_t>(done)))
          << "cells above " << markValue << " touched before their mark";
    }
    seen = shown.size();
  });
  PassRun run;
  run.status = frame::RunToolOn(ToolFor(rule), console, files, {"tool", "map"});
  run.bytes = files.Bytes("map");
  run.stream = console.StreamBytes();
  const std::size_t from = run.stream.find("Fixing: [*");
  const std::size_t to = run.stream.find("]\r\nDone.\r\n");
  if (from != std::string::npos && to != std::string::npos)
    run.marks = run.stream.substr(from + 10, to - from - 10);
  return run;
}

Bytes MixedBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) {
    const auto pick = random() % 4;
    b = pick == 0 ? 0x00 : pick == 1 ? 0xFF : static_cast<std::uint8_t>(random());
  }
  return bytes;
}

TEST(CellRules, PelloranRewritesCellsWithoutFF) {
  const Bytes map = {0x00, 0x00, 0x12, 0x34, 0x01, 0x00, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(RunPass(kPelloranRule, map).bytes,
            (Bytes{0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF}));
}

TEST(CellRules, DravimundRewritesCellsStartingWith00) {
  const Bytes map = {0x00, 0x00, 0x00, 0x7F, 0x00, 0xFF, 0x01, 0x00, 0xFF, 0x00, 0x80, 0x00};
  EXPECT_EQ(RunPass(kDravimundRule, map).bytes,
            (Bytes{0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0x01, 0x00, 0xFF, 0x00, 0x80, 0x00}));
}

TEST(CellRules, ASecondRunChangesNothing) {
  for (const CellRule* rule : {&kPelloranRule, &kDravimundRule}) {
    const Bytes once = RunPass(*rule, MixedBytes(5000, 7)).bytes;
    EXPECT_EQ(RunPass(*rule, once).bytes, once);
  }
}

TEST(ProgressMarks, ByCounterValue) {
  const std::vector<std::pair<std::int64_t, std::optional<char>>> cases = {
      {2, std::nullopt}, {kMiB - 2, std::nullopt}, {kMiB, '.'},      {kMiB + 2, std::nullopt},
      {4 * kMiB, '.'},   {5 * kMiB, '-'},          {10 * kMiB, '*'}, {15 * kMiB, '-'},
      {20 * kMiB, '*'},  {25 * kMiB, '-'},         {30 * kMiB, '*'}, {31 * kMiB, '.'}};
  for (const auto& [counter, mark] : cases) {
    EXPECT_EQ(mapcells::ProgressMark(static_cast<frame::FilePosition>(counter)), mark) << counter;
  }
}

TEST(MapPass, ProgressLineAndClosingLinesOnTheScreen) {
  FakeConsole console({80, 25}, {1, 1});
  FakeFiles files;
  Bytes map(static_cast<std::size_t>(10 * kMiB), 0x00);
  files.Create("map", map);
  console.Queue(testing_support::keys::Char('k'));
  EXPECT_EQ(frame::RunToolOn(ToolFor(kPelloranRule), console, files, {"pelloran", "map"}), 0);
  EXPECT_EQ(console.Screen(),
            "Pelloran\n--------\n\nFixing: [*....-....*]\nDone.\n\nPress any key to continue.");
  EXPECT_EQ(files.OpenCount(), 0);
}

struct MarksCase {
  const char* name;
  std::int64_t size;
  std::uint8_t fill;  // every cell holds this byte twice
  const char* marks;
};

class MarksTest : public ::testing::TestWithParam<MarksCase> {};

TEST_P(MarksTest, StandBetweenTheBrackets) {
  const MarksCase& c = GetParam();
  const PassRun run = RunPass(kPelloranRule, Bytes(static_cast<std::size_t>(c.size), c.fill));
  EXPECT_EQ(run.marks, c.marks);
  EXPECT_EQ(run.status, 0);
}

// 0x00 cells are rewritten by pelloran, 0xFF cells are not.
INSTANTIATE_TEST_SUITE_P(
    Sizes, MarksTest,
    ::testing::Values(MarksCase{"empty", 0, 0x00, ""}, MarksCase{"one_cell_kept", 2, 0xFF, ""},
                      MarksCase{"one_mib", kMiB, 0x00, "."},
                      MarksCase{"one_mib_kept", kMiB, 0xFF, "."},
                      MarksCase{"three_mib", 3 * kMiB, 0xFF, "..."},
                      MarksCase{"ten_mib_kept", 10 * kMiB, 0xFF, "....-....*"},
                      MarksCase{"twenty_mib", 20 * kMiB, 0x00, "....-....*....-....*"},
                      MarksCase{"short_of_one_mib_last_cell_kept", kMiB - 2, 0xFF, "."},
                      MarksCase{"short_of_one_mib_last_cell_rewritten", kMiB - 2, 0x00, ""},
                      MarksCase{"odd_short_of_one_mib", kMiB - 1, 0x00, "."},
                      MarksCase{"odd_short_of_one_mib_by_three", kMiB - 3, 0x00, "."},
                      MarksCase{"odd_short_of_one_mib_by_five", kMiB - 5, 0x00, ""}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(MapPass, EmptyMap) {
  const PassRun run = RunPass(kPelloranRule, {});
  EXPECT_NE(run.stream.find("\r\n\r\nFixing: [*]\r\nDone.\r\n\r\nPress any key to continue.\r\n"),
            std::string::npos);
  EXPECT_TRUE(run.bytes.empty());
}

TEST(MapPass, TrailingSingleByteIsLeftAndTheMapNeverGrows) {
  for (const CellRule* rule : {&kPelloranRule, &kDravimundRule}) {
    EXPECT_EQ(RunPass(*rule, {0x00}).bytes, Bytes{0x00});
    EXPECT_EQ(RunPass(*rule, {0x00, 0x00, 0x00}).bytes,
              (Bytes{rule->firstReplacement, rule->secondReplacement, 0x00}));
  }
}

TEST(MapPass, MatchesTheCellByCellWalk) {
  const std::vector<std::int64_t> sizes = {0,
                                           1,
                                           2,
                                           3,
                                           4,
                                           5,
                                           6,
                                           7,
                                           31,
                                           32,
                                           100,
                                           101,
                                           32766,
                                           32767,
                                           32768,
                                           32769,
                                           32770,
                                           65535,
                                           65536,
                                           kMiB - 4,
                                           kMiB - 3,
                                           kMiB - 2,
                                           kMiB - 1,
                                           kMiB,
                                           kMiB + 1,
                                           kMiB + 2,
                                           2 * kMiB - 1,
                                           2 * kMiB + 3,
                                           5 * kMiB - 2,
                                           5 * kMiB,
                                           10 * kMiB - 2,
                                           10 * kMiB - 1,
                                           10 * kMiB,
                                           10 * kMiB + 1};
  std::uint32_t seed = 1;
  for (const std::int64_t size : sizes) {
    for (const CellRule* rule : {&kPelloranRule, &kDravimundRule}) {
      // Random cells, then the same with the last cell taken and left.
      for (int ending = 0; ending < 3; ++ending) {
        Bytes map = MixedBytes(static_cast<std::size_t>(size), seed++);
        if (size >= 2 && ending != 0) {
          const std::size_t last = static_cast<std::size_t>(size - 2 - size % 2);
          map[last] = ending == 1 ? 0x00 : 0xFF;
          map[last + 1] = ending == 1 ? 0x00 : 0xFF;
        }
        const WalkResult walk = WalkCellByCell(*rule, map);
        const PassRun run = RunPass(*rule, map, &walk.bytes);
        ASSERT_EQ(run.bytes, walk.bytes) << "size " << size << " ending " << ending;
        ASSERT_EQ(run.marks, walk.marks) << "size " << size << " ending " << ending;
      }
    }
  }
}

TEST(MapPass, WritesOnlyTheStretchesThatHoldSelectedCells) {
  // Three blocks; only the middle one holds cells that dravimund selects.
  Bytes map(3 * 32768, 0x11);
  map[32768 + 100] = 0x00;
  map[32768 + 2000] = 0x00;
  FakeConsole console = FakeConsole::Stream();
  FakeFiles files;
  files.Create("map", map);
  console.QueueBytes("k");
  frame::RunToolOn(ToolFor(kDravimundRule), console, files, {"dravimund", "map"});
  std::vector<testing_support::LoggedRequest> writes;
  for (const auto& r : files.Log()) {
    if (r.request == Request::kWrite) writes.push_back(r);
  }
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].offset, 32768 + 100);
  EXPECT_EQ(writes[0].count, 2000u - 100u + 2u);
  EXPECT_LE(files.LargestTransfer(), 32768u);
}

TEST(MapPass, DataIsOnStorageBeforeDoneAndTheFileIsReleasedAfter) {
  FakeConsole console = FakeConsole::Stream();
  FakeFiles files;
  files.Create("map", Bytes(1000, 0x00));
  console.QueueBytes("k");
  bool flushedBeforeDone = false;
  bool closedBeforeDone = true;
  console.OnFlush([&] {
    if (console.StreamBytes().find("Done.") == std::string::npos || !closedBeforeDone) return;
    closedBeforeDone = false;
    for (const auto& r : files.Log()) {
      flushedBeforeDone |= r.request == Request::kFlush;
      closedBeforeDone |= r.request == Request::kClose;
    }
  });
  frame::RunToolOn(ToolFor(kPelloranRule), console, files, {"pelloran", "map"});
  EXPECT_TRUE(flushedBeforeDone);
  EXPECT_FALSE(closedBeforeDone);
  EXPECT_EQ(files.OpenCount(), 0);
  EXPECT_EQ(console.Holds(), (std::vector<bool>{true, false}));
}

TEST(MapPass, OpenFailurePrintsNothingOfThePass) {
  FakeConsole console = FakeConsole::Stream();
  FakeFiles files;
  console.QueueBytes("k");
  EXPECT_EQ(frame::RunToolOn(ToolFor(kPelloranRule), console, files, {"pelloran", "no map"}),
            FakeFiles::kMissing);
  EXPECT_EQ(console.StreamBytes(),
            "Pelloran\r\n--------\r\n\r\n\r\nError opening \"no map\"\r\n\r\nPress any key to "
            "continue.\r\n");
}

// A map that another program changed after the open is not touched.
TEST(MapPass, AMapChangedElsewhereIsNotWritten) {
  const Bytes map(3 * 32768, 0x00);
  FakeFiles files;
  files.Create("map", map);
  files.ChangeElsewhere("map");
  FakeConsole console = FakeConsole::Stream();
  console.QueueBytes("k");
  EXPECT_EQ(frame::RunToolOn(ToolFor(kPelloranRule), console, files, {"pelloran", "map"}),
            frame::kFileChangedCode);
  EXPECT_EQ(files.Bytes("map"), map);
  for (const LoggedRequest& request : files.Log()) EXPECT_NE(request.request, Request::kWrite);
  EXPECT_NE(console.StreamBytes().find("Fixing: [*\r\nRuntime error 202 at 0x"), std::string::npos)
      << console.StreamBytes();
}

TEST(MapPass, FailureMidPassEndsThePassAndIsReported) {
  const Bytes map(5 * 32768, 0x00);
  FakeFiles files;
  files.Create("map", map);
  // open, the start of the change, the size, then per block: read, write;
  // the second block's write fails.
  FaultyFiles faulty(files, 3 + 2 + 2, 5);
  FakeConsole console = FakeConsole::Stream();
  console.QueueBytes("k");
  EXPECT_EQ(frame::RunToolOn(ToolFor(kPelloranRule), console, faulty, {"pelloran", "map"}), 5);
  const Bytes& now = files.Bytes("map");
  EXPECT_EQ(now[0], 0x01);
  EXPECT_EQ(now[32766], 0x01);
  EXPECT_EQ(now[32768], 0x00);
  EXPECT_EQ(now.back(), 0x00);
  EXPECT_EQ(console.StreamBytes().find("Done."), std::string::npos);
  EXPECT_NE(console.StreamBytes().find("Fixing: [*\r\nRuntime error 5 at 0x"), std::string::npos)
      << console.StreamBytes();
  EXPECT_EQ(files.OpenCount(), 0);
}

}  // namespace
