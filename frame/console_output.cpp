// Console text output: the output rules, applied once for every console.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <string_view>

#include "frame/frame_state.h"
#include "frame/tool_frame.h"

namespace frame {
namespace {

using detail::OutputState;

constexpr std::uint8_t kBell = 7;
constexpr std::uint8_t kBackspace = 8;
constexpr std::uint8_t kLineFeed = 10;
constexpr std::uint8_t kCarriageReturn = 13;

// Collects the drawn characters of one output call into runs of cells on
// one row, so that a back end draws a run at a time.
class ScreenWriter {
 public:
  ScreenWriter(ConsolePort& console, OutputState& out) : console_(console), out_(out) {}
  ~ScreenWriter() { FlushRun(); }

  void Put(std::uint8_t c) {
    switch (c) {
      case kBell:
        return;
      case kBackspace:
        FlushRun();
        if (out_.position.column > 1) --out_.position.column;
        return;
      case kLineFeed:
        FlushRun();
        NextRow();
        return;
      case kCarriageReturn:
        FlushRun();
        out_.position.column = 1;
        return;
      default:
        if (count_ == 0) runStart_ = out_.position;
        run_[count_++] = c;
        if (count_ == run_.size()) {
          FlushRun();
        }
        if (++out_.position.column > out_.size.columns) {
          FlushRun();
          out_.position.column = 1;
          NextRow();
        }
        return;
    }
  }

 private:
  void NextRow() {
    if (out_.position.row < out_.size.rows) {
      ++out_.position.row;
      return;
    }
    console_.ScrollUp();
    --out_.startRow;
  }

  void FlushRun() {
    if (count_ == 0) return;
    console_.DrawRun(runStart_, std::span<const std::uint8_t>(run_.data(), count_));
    count_ = 0;
  }

  ConsolePort& console_;
  OutputState& out_;
  std::array<std::uint8_t, 256> run_{};
  std::size_t count_ = 0;
  CellPosition runStart_;
};

// A byte stream shows drawn characters and line controls as their bytes; it
// cannot show a bell, a backspace or a cursor placement.
// The column is kept only to tell whether a line has begun.
void PutStream(ConsolePort& console, OutputState& out, std::string_view text) {
  std::array<std::uint8_t, 256> bytes{};
  std::size_t count = 0;
  for (char ch : text) {
    const auto c = static_cast<std::uint8_t>(ch);
    if (c == kBell || c == kBackspace) continue;
    if (c == kCarriageReturn) {
      out.position.column = 1;
    } else if (c != kLineFeed) {
      ++out.position.column;
    }
    bytes[count++] = c;
    if (count == bytes.size()) {
      console.WriteStream(std::span<const std::uint8_t>(bytes.data(), count));
      count = 0;
    }
  }
  if (count != 0) console.WriteStream(std::span<const std::uint8_t>(bytes.data(), count));
}

// Takes a new screen size when the console reports one. The output
// position stays on the screen: where it would fall below the new bottom,
// the rows above it have scrolled off the top, as a terminal scrolls them.
void RefreshScreenSize() {
  auto& state = detail::State();
  if (state.console == nullptr || state.output.kind != ConsoleKind::kScreen) return;
  ScreenSize size;
  if (!state.console->TakeNewSize(size) || size.columns < 1 || size.rows < 1) return;
  OutputState& out = state.output;
  out.size = size;
  if (out.position.row > size.rows) {
    out.startRow -= out.position.row - size.rows;
    out.position.row = size.rows;
  }
  out.position.column = std::min(out.position.column, size.columns);
}

void Show(std::string_view first, std::string_view second = {}) {
  auto& state = detail::State();
  if (state.console == nullptr) return;
  RefreshScreenSize();
  ConsolePort& console = *state.console;
  OutputState& out = state.output;
  if (out.kind == ConsoleKind::kStream) {
    PutStream(console, out, first);
    PutStream(console, out, second);
  } else {
    {
      ScreenWriter writer(console, out);
      for (char c : first) writer.Put(static_cast<std::uint8_t>(c));
      for (char c : second) writer.Put(static_cast<std::uint8_t>(c));
    }
    console.PlaceCursor(out.position);
  }
  console.Flush();
}

constexpr std::string_view kLineEnd = "\r\n";

}  // namespace

void detail::WriteUnsilenced(std::string_view text) { Show(text); }

void WriteText(std::string_view text) {
  if (PendingIoFailure() != 0) return;
  Show(text);
}

void WriteText(char character) { WriteText(std::string_view(&character, 1)); }

void WriteLine(std::string_view text) {
  if (PendingIoFailure() != 0) return;
  Show(text, kLineEnd);
}

void WriteNumber(std::int32_t value) {
  std::array<char, 16> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  WriteText(std::string_view(digits.data(), static_cast<std::size_t>(result.ptr - digits.data())));
}

CellPosition OutputPosition() { return detail::State().output.position; }

ScreenSize ConsoleScreenSize() {
  RefreshScreenSize();
  return detail::State().output.size;
}

bool ConsoleIsScreen() { return detail::State().output.kind == ConsoleKind::kScreen; }

int OutputRowOffset() {
  const OutputState& out = detail::State().output;
  return out.rowsFromOutputStart ? out.startRow - 1 : 0;
}

void MoveOutputPosition(CellPosition at) {
  auto& state = detail::State();
  state.output.position = at;
  if (state.console == nullptr || state.output.kind != ConsoleKind::kScreen) return;
  state.console->PlaceCursor(at);
  state.console->Flush();
}

}  // namespace frame
