// A console for tests: a grid of cells with a cursor, or a byte stream, and
// a scripted queue of input events.
#ifndef CNC64_TESTS_SUPPORT_FAKE_CONSOLE_H_
#define CNC64_TESTS_SUPPORT_FAKE_CONSOLE_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "frame/console_port.h"

namespace testing_support {

class FakeConsole : public frame::ConsolePort {
 public:
  /// A screen of `size`, the cursor at `cursor`, every cell blank.
  explicit FakeConsole(frame::ScreenSize size = {80, 25}, frame::CellPosition cursor = {1, 1});
  /// A byte stream console.
  static FakeConsole Stream();

  // Set-up, before the run.
  void SetStart(const frame::ConsoleStart& start) { start_ = start; }
  /// Makes the console the program's own (a window that closes with it).
  void SetOwned(bool owned) { owned_ = owned; }
  /// Fills row `row` (1-based) with `text` from column 1.
  void FillRow(int row, const std::string& text);
  void Queue(const frame::ConsoleEvent& event) { events_.push_back(event); }
  /// Queues the byte-stream input `text`: one kByte event per byte.
  void QueueBytes(const std::string& text);
  /// Called each time the events run out; it may queue more.
  void OnEventsExhausted(std::function<void()> callback) { onExhausted_ = std::move(callback); }

  // What the run left.
  /// Row `row` as text, trailing blanks removed.
  std::string Row(int row) const;
  /// Every row, each trailing blanks removed, joined with '\n', trailing empty rows removed.
  std::string Screen() const;
  std::uint8_t Cell(int column, int row) const;
  frame::CellPosition Cursor() const { return cursor_; }
  const std::string& StreamBytes() const { return stream_; }
  int Scrolls() const { return scrolls_; }
  /// Screen or stream operations handed over since the last Flush.
  int Unflushed() const { return unflushed_; }
  int Flushes() const { return flushes_; }
  /// Number of WaitForInput calls.
  int Waits() const { return waits_; }
  /// Called at each WaitForInput; it may queue events (a key typed during
  /// the wait). Without it, a wait with nothing queued and nothing that
  /// could queue is a test's fault and throws.
  void OnWait(std::function<void()> callback) { onWait_ = std::move(callback); }
  /// Resizes the screen as a terminal does: rows scroll off the top where
  /// the cursor would fall below the new bottom; the frame is told at its
  /// next look.
  void Resize(frame::ScreenSize size);
  bool Restored() const { return restored_; }
  /// Each change of the interruption hold, in order.
  const std::vector<bool>& Holds() const { return holds_; }
  std::size_t EventsLeft() const { return events_.size(); }
  /// Number of DrawRun calls.
  int DrawCalls() const { return drawCalls_; }
  /// A callback run at every Flush, to look at the screen mid-run.
  void OnFlush(std::function<void()> callback) { onFlush_ = std::move(callback); }

  // frame::ConsolePort
  frame::ConsoleStart Start() override;
  void DrawRun(frame::CellPosition first, std::span<const std::uint8_t> glyphs) override;
  void ScrollUp() override;
  void PlaceCursor(frame::CellPosition at) override;
  void WriteStream(std::span<const std::uint8_t> bytes) override;
  void Flush() override;
  bool TakeEvent(frame::ConsoleEvent& event) override;
  void WaitForInput() override;
  bool TakeNewSize(frame::ScreenSize& size) override;
  void HoldInterruptions(bool hold) override { holds_.push_back(hold); }
  void Restore() override { restored_ = true; }
  bool OwnsConsole() const override { return owned_; }
  std::uint32_t CodeOffset(const void* address) const override;

 private:
  frame::ConsoleStart start_;
  bool owned_ = false;
  std::vector<std::uint8_t> cells_;
  frame::CellPosition cursor_;
  std::string stream_;
  std::deque<frame::ConsoleEvent> events_;
  std::function<void()> onExhausted_;
  std::function<void()> onFlush_;
  int scrolls_ = 0;
  int unflushed_ = 0;
  int flushes_ = 0;
  int waits_ = 0;
  std::function<void()> onWait_;
  bool resized_ = false;
  int drawCalls_ = 0;
  bool restored_ = false;
  std::vector<bool> holds_;
};

// Key events shaped as a Win32 console reports them.
namespace keys {
frame::ConsoleEvent Press(std::uint16_t virtualKey, std::uint16_t scanCode, std::uint8_t character,
                          std::uint32_t modifiers = 0);
frame::ConsoleEvent Release(std::uint16_t virtualKey, std::uint16_t scanCode,
                            std::uint8_t character = 0, std::uint32_t modifiers = 0);
/// A press of the US-layout key that types `c` (letters, digits, punctuation,
/// space), with Shift where the layout needs it.
frame::ConsoleEvent Char(char c);
frame::ConsoleEvent Mouse();
}  // namespace keys

}  // namespace testing_support

#endif  // CNC64_TESTS_SUPPORT_FAKE_CONSOLE_H_
