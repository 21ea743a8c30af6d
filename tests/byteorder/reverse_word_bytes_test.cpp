// The word byte-order pass: edge cases, the progress dots, and the block
// pass checked against a plain word-by-word walk.
#include "byteorder/reverse_word_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "frame/tool_frame.h"
#include "tests/support/fake_console.h"
#include "tests/support/fake_files.h"

namespace {

using testing_support::FakeConsole;
using testing_support::FakeFiles;
using testing_support::FaultyFiles;
using testing_support::Request;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kMiB = 1048576;
constexpr std::size_t kBlock = 32768;

const frame::ToolDefinition kOskebar{
    "Oskebar",
    {"Drop the C&C N64 ROM onto the icon of this program to fix it."},
    byteorder::ReverseWordBytes};

// The walk that handles one word at a time: its counter grows by 4 for every
// started word, a dot for each multiple of 1 MiB it reaches; a whole word's
// bytes are written back in reverse order, a shorter last word is left.
struct WalkResult {
  Bytes bytes;
  std::string dots;
};

WalkResult WalkWordByWord(Bytes bytes) {
  WalkResult result;
  const auto size = static_cast<std::int64_t>(bytes.size());
  for (std::int64_t counter = 0; counter < size;) {
    if (counter + 4 <= size) {
      const auto at = bytes.begin() + static_cast<std::ptrdiff_t>(counter);
      std::reverse(at, at + 4);
    }
    counter += 4;
    if (counter % kMiB == 0) result.dots.push_back('.');
  }
  result.bytes = std::move(bytes);
  return result;
}

struct PassRun {
  Bytes bytes;
  std::string stream;  // everything the console showed
  std::string dots;    // what stands between "Fixing" and the line end
  int status = 0;
};

constexpr std::string_view kBanner = "Oskebar\r\n-------\r\n\r\n";

// Runs oskebar on `bytes` over a byte-stream console. With `expected`, it
// checks at each dot that every word below the dot's counter value is done
// and every byte above it is still as it was.
PassRun RunPass(const Bytes& bytes, const Bytes* expected = nullptr) {
  FakeConsole console = FakeConsole::Stream();
  FakeFiles files;
  files.Create("rom", bytes);
  console.QueueBytes("k");
  std::size_t seen = 0;
  std::int64_t dotValue = 0;
  console.OnFlush([&] {
    const std::string& shown = console.StreamBytes();
    const std::size_t fixing = shown.find("Fixing");
    if (fixing == std::string::npos || expected == nullptr) return;
    for (std::size_t i = std::max(seen, fixing + 6); i < shown.size() && shown[i] == '.'; ++i) {
      dotValue += kMiB;
      const Bytes& now = files.Bytes("rom");
      ASSERT_EQ(now.size(), bytes.size());
      const auto done = static_cast<std::ptrdiff_t>(
          std::min<std::int64_t>(dotValue, static_cast<std::int64_t>(now.size())));
      ASSERT_TRUE(std::equal(now.begin(), now.begin() + done, expected->begin()))
          << "words below " << dotValue << " not done when its dot appeared";
      ASSERT_TRUE(std::equal(now.begin() + done, now.end(), bytes.begin() + done))
          << "bytes above " << dotValue << " touched before their dot";
    }
    seen = shown.size();
  });
  PassRun run;
  run.status = frame::RunToolOn(kOskebar, console, files, {"oskebar", "rom"});
  run.bytes = files.Bytes("rom");
  run.stream = console.StreamBytes();
  const std::size_t from = run.stream.find("Fixing");
  const std::size_t to = run.stream.find("\r\nDone.\r\n");
  if (from != std::string::npos && to != std::string::npos)
    run.dots = run.stream.substr(from + 6, to - from - 6);
  return run;
}

Bytes RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

struct EdgeCase {
  const char* name;
  Bytes before;
  Bytes after;
};

class OskebarEdgeCase : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(OskebarEdgeCase, BytesSizeAndLines) {
  const EdgeCase& c = GetParam();
  const PassRun run = RunPass(c.before);
  EXPECT_EQ(run.bytes, c.after);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.stream,
            std::string(kBanner) + "Fixing\r\nDone.\r\n\r\nPress any key to continue.\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Files, OskebarEdgeCase,
    ::testing::Values(
        EdgeCase{"empty", {}, {}},
        EdgeCase{"two_words", {1, 2, 3, 4, 5, 6, 7, 8}, {4, 3, 2, 1, 8, 7, 6, 5}},
        EdgeCase{"equal_bytes_in_every_word",
                 {0, 0, 0, 0, 0xAB, 0xAB, 0xAB, 0xAB},
                 {0, 0, 0, 0, 0xAB, 0xAB, 0xAB, 0xAB}},
        EdgeCase{"one_byte", {0x41}, {0x41}}, EdgeCase{"two_bytes", {0x41, 0x42}, {0x41, 0x42}},
        EdgeCase{"three_bytes", {0x41, 0x42, 0x43}, {0x41, 0x42, 0x43}},
        EdgeCase{"five_bytes", {0x41, 0x42, 0x43, 0x44, 0x45}, {0x44, 0x43, 0x42, 0x41, 0x45}},
        EdgeCase{"ten_bytes",
                 {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'},
                 {'D', 'C', 'B', 'A', 'H', 'G', 'F', 'E', 'I', 'J'}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(Oskebar, TwoRunsGiveTheFileBack) {
  for (const std::size_t size : {std::size_t{12}, std::size_t{13}, kBlock + 6, 3 * kBlock}) {
    const Bytes original = RandomBytes(size, static_cast<std::uint32_t>(size));
    const Bytes once = RunPass(original).bytes;
    EXPECT_NE(once, original) << size;
    EXPECT_EQ(RunPass(once).bytes, original) << size;
  }
}

struct DotsCase {
  const char* name;
  std::int64_t size;
  int dots;
};

class OskebarDots : public ::testing::TestWithParam<DotsCase> {};

TEST_P(OskebarDots, OnePerMiBTheCounterReaches) {
  const DotsCase& c = GetParam();
  const PassRun run = RunPass(Bytes(static_cast<std::size_t>(c.size), 0x5A));
  EXPECT_EQ(run.dots, std::string(static_cast<std::size_t>(c.dots), '.'));
}

// A started last word counts: 1 MiB - 1 bytes take the counter to 1 MiB.
INSTANTIATE_TEST_SUITE_P(Sizes, OskebarDots,
                         ::testing::Values(DotsCase{"short_of_one_mib_by_a_word", kMiB - 4, 0},
                                           DotsCase{"short_of_one_mib_by_one_byte", kMiB - 1, 1},
                                           DotsCase{"one_mib", kMiB, 1},
                                           DotsCase{"one_mib_and_a_byte", kMiB + 1, 1},
                                           DotsCase{"four_mib", 4 * kMiB, 4}),
                         [](const auto& tc) { return std::string(tc.param.name); });

TEST(Oskebar, FullRomOnTheScreen) {
  FakeConsole console({80, 25}, {1, 1});
  FakeFiles files;
  Bytes rom(static_cast<std::size_t>(32 * kMiB));
  for (std::size_t i = 0; i < rom.size(); ++i) rom[i] = static_cast<std::uint8_t>(i);
  files.Create("rom", rom);
  console.Queue(testing_support::keys::Char('k'));
  EXPECT_EQ(frame::RunToolOn(kOskebar, console, files, {"oskebar", "rom"}), 0);
  EXPECT_EQ(console.Screen(),
            "Oskebar\n-------\n\nFixing................................\nDone.\n\nPress any key to "
            "continue.");
  const Bytes& now = files.Bytes("rom");
  ASSERT_EQ(now.size(), rom.size());
  for (const std::size_t at : {std::size_t{0}, kBlock, rom.size() - 4}) {
    EXPECT_EQ(Bytes(now.begin() + static_cast<std::ptrdiff_t>(at),
                    now.begin() + static_cast<std::ptrdiff_t>(at + 4)),
              (Bytes{rom[at + 3], rom[at + 2], rom[at + 1], rom[at]}))
        << at;
  }
  EXPECT_EQ(console.EventsLeft(), 0u);
}

TEST(Oskebar, MatchesTheWordByWordWalk) {
  std::vector<std::int64_t> sizes;
  for (std::int64_t size = 0; size <= 9; ++size) sizes.push_back(size);
  for (const std::int64_t edge : {std::int64_t{32768}, std::int64_t{65536}, kMiB, 2 * kMiB}) {
    for (std::int64_t delta = -5; delta <= 5; ++delta) sizes.push_back(edge + delta);
  }
  sizes.push_back(3 * kMiB + 32768 + 2);
  std::uint32_t seed = 11;
  for (const std::int64_t size : sizes) {
    const Bytes rom = RandomBytes(static_cast<std::size_t>(size), seed++);
    const WalkResult walk = WalkWordByWord(rom);
    const PassRun run = RunPass(rom, &walk.bytes);
    ASSERT_EQ(run.bytes, walk.bytes) << "size " << size;
    ASSERT_EQ(run.dots, walk.dots) << "size " << size;
    ASSERT_EQ(run.status, 0) << "size " << size;
  }
}

TEST(Oskebar, WorksInWholeBlocks) {
  const Bytes rom = RandomBytes(3 * kBlock + 10, 5);
  FakeConsole console = FakeConsole::Stream();
  FakeFiles files;
  files.Create("rom", rom);
  console.QueueBytes("k");
  frame::RunToolOn(kOskebar, console, files, {"oskebar", "rom"});
  std::vector<testing_support::LoggedRequest> transfers;
  for (const auto& r : files.Log()) {
    if (r.request == Request::kRead || r.request == Request::kWrite) transfers.push_back(r);
  }
  const std::vector<testing_support::LoggedRequest> expected = {
      {Request::kRead, 0, 32768},     {Request::kWrite, 0, 32768},
      {Request::kRead, 32768, 32768}, {Request::kWrite, 32768, 32768},
      {Request::kRead, 65536, 32768}, {Request::kWrite, 65536, 32768},
      {Request::kRead, 98304, 32768}, {Request::kWrite, 98304, 8}};
  EXPECT_EQ(transfers, expected);
}

TEST(Oskebar, FlushedBeforeDoneAndReleasedBeforeTheEndPromptWaits) {
  FakeConsole console = FakeConsole::Stream();
  FakeFiles files;
  files.Create("rom", RandomBytes(2 * kMiB, 3));
  bool flushedBeforeDone = false;
  bool doneSeen = false;
  std::vector<bool> holdsAtDone;
  console.OnFlush([&] {
    if (doneSeen || console.StreamBytes().find("Done.") == std::string::npos) return;
    doneSeen = true;
    holdsAtDone = console.Holds();
    for (const auto& r : files.Log()) flushedBeforeDone |= r.request == Request::kFlush;
  });
  int openAtKeyWait = -1;
  console.OnEventsExhausted([&] {
    if (openAtKeyWait != -1) return;
    openAtKeyWait = files.OpenCount();
    console.QueueBytes("k");
  });
  EXPECT_EQ(frame::RunToolOn(kOskebar, console, files, {"oskebar", "rom"}), 0);
  EXPECT_TRUE(flushedBeforeDone);
  EXPECT_EQ(holdsAtDone, std::vector<bool>{true})
      << "the pass must not be interruptible up to Done.";
  EXPECT_EQ(console.Holds(), (std::vector<bool>{true, false}));
  EXPECT_EQ(openAtKeyWait, 0);
}

TEST(Oskebar, OpenFailurePrintsNothingOfThePass) {
  FakeConsole console = FakeConsole::Stream();
  FakeFiles files;
  files.Create("rom", Bytes(8, 1));
  files.MakeReadOnly("rom");
  console.QueueBytes("k");
  // The screen is as ever; the exit status is the open's failure code.
  EXPECT_EQ(frame::RunToolOn(kOskebar, console, files, {"oskebar", "rom"}), FakeFiles::kDenied);
  EXPECT_EQ(
      console.StreamBytes(),
      std::string(kBanner) + "\r\nError opening \"rom\"\r\n\r\nPress any key to continue.\r\n");
  EXPECT_EQ(files.Bytes("rom"), Bytes(8, 1));
}

struct FailureCase {
  const char* name;
  int failAt;  // request number: the open is 1, the start of the change 2, the size 3,
               // then per block read, write
  std::size_t blocksDone;
};

class OskebarFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(OskebarFailure, EndsThePassKeepsWhatIsWrittenAndIsReported) {
  const FailureCase& c = GetParam();
  constexpr std::size_t kBlocks = 40;  // more than 1 MiB, so a dot falls in the pass
  const Bytes rom = RandomBytes(kBlocks * kBlock, 9);
  const Bytes reversed = WalkWordByWord(rom).bytes;
  FakeFiles files;
  files.Create("rom", rom);
  FaultyFiles faulty(files, c.failAt, 5);
  FakeConsole console = FakeConsole::Stream();
  console.QueueBytes("k");
  EXPECT_EQ(frame::RunToolOn(kOskebar, console, faulty, {"oskebar", "rom"}), 5);
  const Bytes& now = files.Bytes("rom");
  ASSERT_EQ(now.size(), rom.size());
  const auto done = static_cast<std::ptrdiff_t>(c.blocksDone * kBlock);
  EXPECT_TRUE(std::equal(now.begin(), now.begin() + done, reversed.begin()));
  EXPECT_TRUE(std::equal(now.begin() + done, now.end(), rom.begin() + done));
  const std::string& shown = console.StreamBytes();
  EXPECT_EQ(shown.find("Done."), std::string::npos);
  const std::string dots(c.blocksDone >= 32 ? 1 : 0, '.');
  EXPECT_EQ(shown.rfind(std::string(kBanner) + "Fixing" + dots + "\r\nRuntime error 5 at 0x", 0),
            0u)
      << shown;
  EXPECT_EQ(files.OpenCount(), 0);
  EXPECT_EQ(console.EventsLeft(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Requests, OskebarFailure,
                         ::testing::Values(FailureCase{"start_of_the_change", 2, 0},
                                           FailureCase{"size", 3, 0},
                                           FailureCase{"first_read", 4, 0},
                                           FailureCase{"second_write", 3 + 2 + 2, 1},
                                           FailureCase{"read_after_the_dot", 3 + 2 * 33 + 1, 33},
                                           FailureCase{"flush", 3 + 2 * 40 + 1, 40}),
                         [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
