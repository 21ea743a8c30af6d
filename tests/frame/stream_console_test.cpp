// Byte streams as a console: key input one byte per event, and output
// written whole through a sink that takes bytes in pieces.
#include "frame/stream_console.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace {

using frame::ConsoleEvent;
using frame::ConsoleEventKind;
using frame::StreamInput;

// A source that hands over scripted reads: each gives its bytes, and the
// last one may end the input.
class ScriptedSource final : public frame::ByteSource {
 public:
  struct Chunk {
    std::string bytes;
    bool ends = false;
  };
  explicit ScriptedSource(std::deque<Chunk> reads) : reads_(std::move(reads)) {}
  bool Read(std::vector<std::uint8_t>& into, bool wait) override {
    ++calls;
    if (wait) ++waits;
    if (reads_.empty()) return true;
    const Chunk read = reads_.front();
    reads_.pop_front();
    into.insert(into.end(), read.bytes.begin(), read.bytes.end());
    return !read.ends;
  }
  int calls = 0;
  int waits = 0;

 private:
  std::deque<Chunk> reads_;
};

// What successive takes give: a byte as itself, "<end>" for the end of the
// input, "-" when nothing was waiting.
std::vector<std::string> Takes(StreamInput& input, frame::ByteSource& source, int count) {
  std::vector<std::string> seen;
  for (int i = 0; i < count; ++i) {
    ConsoleEvent event;
    if (!input.Take(source, event)) {
      seen.emplace_back("-");
    } else if (event.kind == ConsoleEventKind::kEndOfInput) {
      seen.emplace_back("<end>");
    } else {
      EXPECT_EQ(event.kind, ConsoleEventKind::kByte);
      seen.emplace_back(1, static_cast<char>(event.character));
    }
  }
  return seen;
}

TEST(StreamInput, EachByteIsOneEventAndTheEndRepeats) {
  ScriptedSource source({{"ab"}, {""}, {"c"}, {"", true}});
  StreamInput input;
  EXPECT_EQ(Takes(input, source, 7),
            (std::vector<std::string>{"a", "b", "-", "c", "<end>", "<end>", "<end>"}));
  // Once ended, the source is not asked again.
  EXPECT_EQ(source.calls, 4);
  EXPECT_TRUE(input.Exhausted());
}

TEST(StreamInput, BytesThatArriveWithTheEndComeFirst) {
  ScriptedSource source({{std::string("x\0y", 3), true}});
  StreamInput input;
  EXPECT_EQ(Takes(input, source, 4),
            (std::vector<std::string>{"x", std::string(1, '\0'), "y", "<end>"}));
}

TEST(StreamInput, AWaitReadsOnlyWhenNothingIsWaitingAndNeverAfterTheEnd) {
  ScriptedSource source({{""}, {"k"}, {"", true}});
  StreamInput input;
  EXPECT_EQ(Takes(input, source, 1), (std::vector<std::string>{"-"}));
  input.Wait(source);  // the byte arrives during the wait
  EXPECT_EQ(source.waits, 1);
  input.Wait(source);  // it is waiting: no further read
  EXPECT_EQ(source.waits, 1);
  EXPECT_EQ(Takes(input, source, 1), (std::vector<std::string>{"k"}));
  input.Wait(source);  // the input ends during the wait
  EXPECT_EQ(Takes(input, source, 2), (std::vector<std::string>{"<end>", "<end>"}));
  input.Wait(source);
  EXPECT_EQ(source.calls, 3);
}

TEST(StreamInput, AnInputWithNothingToReadEndsAtOnce) {
  ScriptedSource source({{"never read"}});
  StreamInput input(/*ended=*/true);
  EXPECT_EQ(Takes(input, source, 2), (std::vector<std::string>{"<end>", "<end>"}));
  EXPECT_EQ(source.calls, 0);
}

// A sink that takes at most `piece` bytes a call, is busy (takes none) on
// the calls listed, and refuses everything once `refuseAfter` bytes are in.
class PieceSink final : public frame::ByteSink {
 public:
  PieceSink(std::size_t piece, std::vector<int> busyCalls, std::size_t refuseAfter)
      : piece_(piece), busy_(std::move(busyCalls)), refuseAfter_(refuseAfter) {}
  long WriteSome(std::span<const std::uint8_t> bytes) override {
    ++calls;
    if (std::find(busy_.begin(), busy_.end(), calls) != busy_.end()) return 0;
    if (taken.size() >= refuseAfter_) return -1;
    const std::size_t n = std::min({piece_, bytes.size(), refuseAfter_ - taken.size()});
    taken.append(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<long>(n);
  }
  std::string taken;
  int calls = 0;

 private:
  std::size_t piece_;
  std::vector<int> busy_;
  std::size_t refuseAfter_;
};

TEST(StreamOutput, FlushWritesEverythingThroughPiecesAndBusyCalls) {
  frame::StreamOutput out;
  out.Append(std::string_view("Fixing"));
  const std::uint8_t dots[] = {'.', '.', 13, 10};
  out.Append(dots);
  PieceSink sink(3, {1, 3}, 1000);
  out.Flush(sink);
  EXPECT_EQ(sink.taken, "Fixing..\r\n");
  EXPECT_TRUE(out.Empty());
  // A second flush has nothing to hand over.
  const int calls = sink.calls;
  out.Flush(sink);
  EXPECT_EQ(sink.calls, calls);
}

TEST(StreamOutput, WhatTheSinkRefusesIsLostAndTheFlushEnds) {
  frame::StreamOutput out;
  out.Append(std::string_view("Press any key to continue."));
  PieceSink sink(4, {}, 5);
  out.Flush(sink);
  EXPECT_EQ(sink.taken, "Press");
  EXPECT_TRUE(out.Empty());
  out.Append(std::string_view("more"));
  out.Flush(sink);
  EXPECT_EQ(sink.taken, "Press");
}

}  // namespace
