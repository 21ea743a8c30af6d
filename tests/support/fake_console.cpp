#include "tests/support/fake_console.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string_view>

namespace testing_support {

using frame::CellPosition;
using frame::ConsoleEvent;
using frame::ConsoleEventKind;

FakeConsole::FakeConsole(frame::ScreenSize size, CellPosition cursor) : cursor_(cursor) {
  start_.kind = frame::ConsoleKind::kScreen;
  start_.sizeKnown = true;
  start_.size = size;
  start_.cursorKnown = true;
  start_.cursor = cursor;
  cells_.assign(static_cast<std::size_t>(size.columns * size.rows), ' ');
}

FakeConsole FakeConsole::Stream() {
  FakeConsole console;
  console.start_ = frame::ConsoleStart{};
  console.start_.kind = frame::ConsoleKind::kStream;
  return console;
}

void FakeConsole::FillRow(int row, const std::string& text) {
  const int columns = start_.size.columns;
  for (int i = 0; i < static_cast<int>(text.size()) && i < columns; ++i) {
    cells_[static_cast<std::size_t>((row - 1) * columns + i)] =
        static_cast<std::uint8_t>(text[static_cast<std::size_t>(i)]);
  }
}

void FakeConsole::QueueBytes(const std::string& text) {
  for (char c : text) {
    ConsoleEvent event;
    event.kind = ConsoleEventKind::kByte;
    event.character = static_cast<std::uint8_t>(c);
    events_.push_back(event);
  }
}

std::uint8_t FakeConsole::Cell(int column, int row) const {
  const int columns = start_.size.columns;
  if (column < 1 || row < 1 || column > columns || row > start_.size.rows) {
    throw std::out_of_range("cell outside the screen");
  }
  return cells_[static_cast<std::size_t>((row - 1) * columns + (column - 1))];
}

std::string FakeConsole::Row(int row) const {
  std::string text;
  for (int column = 1; column <= start_.size.columns; ++column) {
    text.push_back(static_cast<char>(Cell(column, row)));
  }
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::string FakeConsole::Screen() const {
  std::string text;
  for (int row = 1; row <= start_.size.rows; ++row) {
    if (row > 1) text.push_back('\n');
    text += Row(row);
  }
  text.erase(text.find_last_not_of('\n') + 1);
  return text;
}

frame::ConsoleStart FakeConsole::Start() { return start_; }

void FakeConsole::DrawRun(CellPosition first, std::span<const std::uint8_t> glyphs) {
  if (start_.kind != frame::ConsoleKind::kScreen) throw std::logic_error("DrawRun on a stream");
  ++drawCalls_;
  ++unflushed_;
  const int columns = start_.size.columns;
  if (first.row < 1 || first.row > start_.size.rows || first.column < 1 ||
      first.column + static_cast<int>(glyphs.size()) - 1 > columns) {
    throw std::out_of_range("run outside the screen");
  }
  for (std::size_t i = 0; i < glyphs.size(); ++i) {
    cells_[static_cast<std::size_t>((first.row - 1) * columns + first.column - 1) + i] = glyphs[i];
  }
}

void FakeConsole::ScrollUp() {
  ++scrolls_;
  ++unflushed_;
  const auto columns = static_cast<std::size_t>(start_.size.columns);
  cells_.erase(cells_.begin(), cells_.begin() + static_cast<std::ptrdiff_t>(columns));
  cells_.insert(cells_.end(), columns, ' ');
}

void FakeConsole::PlaceCursor(CellPosition at) {
  ++unflushed_;
  cursor_ = at;
}

void FakeConsole::WriteStream(std::span<const std::uint8_t> bytes) {
  if (start_.kind != frame::ConsoleKind::kStream) throw std::logic_error("WriteStream on a screen");
  ++unflushed_;
  stream_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void FakeConsole::Flush() {
  unflushed_ = 0;
  ++flushes_;
  if (onFlush_) onFlush_();
}

bool FakeConsole::TakeEvent(ConsoleEvent& event) {
  if (events_.empty() && onExhausted_) onExhausted_();
  if (events_.empty()) return false;
  event = events_.front();
  events_.pop_front();
  return true;
}

void FakeConsole::WaitForInput() {
  ++waits_;
  if (onWait_) {
    onWait_();
    return;
  }
  if (events_.empty() && !onExhausted_) {
    throw std::logic_error("waits for input that can never come");
  }
}

void FakeConsole::Resize(frame::ScreenSize size) {
  const frame::ScreenSize old = start_.size;
  const int dropped = std::max(0, cursor_.row - size.rows);
  std::vector<std::uint8_t> cells(static_cast<std::size_t>(size.columns * size.rows), ' ');
  for (int row = 1; row <= size.rows && row + dropped <= old.rows; ++row) {
    for (int column = 1; column <= size.columns && column <= old.columns; ++column) {
      cells[static_cast<std::size_t>((row - 1) * size.columns + column - 1)] =
          cells_[static_cast<std::size_t>((row + dropped - 1) * old.columns + column - 1)];
    }
  }
  cells_ = std::move(cells);
  start_.size = size;
  cursor_.row -= dropped;
  cursor_.column = std::min(cursor_.column, size.columns);
  resized_ = true;
}

bool FakeConsole::TakeNewSize(frame::ScreenSize& size) {
  if (!resized_) return false;
  resized_ = false;
  size = start_.size;
  return true;
}

std::uint32_t FakeConsole::CodeOffset(const void* address) const {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address) & 0xFFFFFFFFu);
}

namespace keys {

ConsoleEvent Press(std::uint16_t virtualKey, std::uint16_t scanCode, std::uint8_t character,
                   std::uint32_t modifiers) {
  return ConsoleEvent{ConsoleEventKind::kKey, true, virtualKey, scanCode, character, modifiers};
}

ConsoleEvent Release(std::uint16_t virtualKey, std::uint16_t scanCode, std::uint8_t character,
                     std::uint32_t modifiers) {
  return ConsoleEvent{ConsoleEventKind::kKey, false, virtualKey, scanCode, character, modifiers};
}

namespace {

struct LayoutKey {
  char plain;
  char shifted;
  std::uint16_t virtualKey;
  std::uint8_t scan;
};

// The US layout's character keys, by row.
constexpr LayoutKey kLayout[] = {
    {'1', '!', 0x31, 2},   {'2', '@', 0x32, 3},  {'3', '#', 0x33, 4},   {'4', '$', 0x34, 5},
    {'5', '%', 0x35, 6},   {'6', '^', 0x36, 7},  {'7', '&', 0x37, 8},   {'8', '*', 0x38, 9},
    {'9', '(', 0x39, 10},  {'0', ')', 0x30, 11}, {'-', '_', 0xBD, 12},  {'=', '+', 0xBB, 13},
    {'q', 'Q', 'Q', 16},   {'w', 'W', 'W', 17},  {'e', 'E', 'E', 18},   {'r', 'R', 'R', 19},
    {'t', 'T', 'T', 20},   {'y', 'Y', 'Y', 21},  {'u', 'U', 'U', 22},   {'i', 'I', 'I', 23},
    {'o', 'O', 'O', 24},   {'p', 'P', 'P', 25},  {'[', '{', 0xDB, 26},  {']', '}', 0xDD, 27},
    {'a', 'A', 'A', 30},   {'s', 'S', 'S', 31},  {'d', 'D', 'D', 32},   {'f', 'F', 'F', 33},
    {'g', 'G', 'G', 34},   {'h', 'H', 'H', 35},  {'j', 'J', 'J', 36},   {'k', 'K', 'K', 37},
    {'l', 'L', 'L', 38},   {';', ':', 0xBA, 39}, {'\'', '"', 0xDE, 40}, {'`', '~', 0xC0, 41},
    {'\\', '|', 0xDC, 43}, {'z', 'Z', 'Z', 44},  {'x', 'X', 'X', 45},   {'c', 'C', 'C', 46},
    {'v', 'V', 'V', 47},   {'b', 'B', 'B', 48},  {'n', 'N', 'N', 49},   {'m', 'M', 'M', 50},
    {',', '<', 0xBC, 51},  {'.', '>', 0xBE, 52}, {'/', '?', 0xBF, 53},  {' ', ' ', 0x20, 57},
};

}  // namespace

ConsoleEvent Char(char c) {
  for (const LayoutKey& key : kLayout) {
    if (key.plain == c) return Press(key.virtualKey, key.scan, static_cast<std::uint8_t>(c));
    if (key.shifted == c) {
      return Press(key.virtualKey, key.scan, static_cast<std::uint8_t>(c), frame::keystate::kShift);
    }
  }
  throw std::invalid_argument(std::string("no US-layout key types ") + c);
}

ConsoleEvent Mouse() {
  ConsoleEvent event;
  event.kind = ConsoleEventKind::kMouse;
  return event;
}

}  // namespace keys
}  // namespace testing_support
