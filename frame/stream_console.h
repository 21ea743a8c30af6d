// Byte streams as a console: the input and output of a console back end
// whose standard input or output is a pipe or a file rather than a console.
// Portable: a back end supplies only the system calls that move the bytes.
#ifndef CNC64_FRAME_STREAM_CONSOLE_H_
#define CNC64_FRAME_STREAM_CONSOLE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "frame/console_port.h"

namespace frame {

/// What a program says on its standard error stream, with the platform's
/// line end after it, when it has no console to write to.
inline constexpr std::string_view kNoConsoleMessage =
    "no console to write to: standard output is not open for writing";

/// One byte of a stream input: one key code, as it is.
ConsoleEvent ByteEvent(std::uint8_t byte);
/// The end of the input.
ConsoleEvent EndOfInput();

/// Where a stream input's bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  /// Appends to `into` the next byte of the input. Without `wait` it
  /// appends nothing when no byte is waiting; with `wait` it blocks until a
  /// byte comes or the input ends, and may return with nothing after a
  /// signal. False at the end of the input (or when it cannot be read).
  /// One byte at a time: bytes that no key needs stay in the input, for
  /// whoever reads it next.
  virtual bool Read(std::vector<std::uint8_t>& into, bool wait) = 0;
};

/// A byte stream as key input: each byte is one event, oldest first; once
/// the input has ended, every take gives the end of the input.
class StreamInput {
 public:
  explicit StreamInput(bool ended = false) : ended_(ended) {}

  /// Takes the next event; false when none is waiting. Never waits.
  bool Take(ByteSource& source, ConsoleEvent& event);
  /// Blocks until the next event can be taken (or a signal interrupts).
  void Wait(ByteSource& source);
  /// True once the input has ended and every byte has been handed out.
  bool Exhausted() const { return ended_ && taken_ == pending_.size(); }

 private:
  std::vector<std::uint8_t> pending_;  // read, not yet handed out from taken_ on
  std::size_t taken_ = 0;
  bool ended_;
};

/// Where a stream's output goes.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  /// Writes some of `bytes` and gives the count written; 0 when nothing
  /// could be written yet (after the sink has waited until it may take
  /// more); a negative count when the sink refuses the bytes.
  virtual long WriteSome(std::span<const std::uint8_t> bytes) = 0;
};

/// Writes all of `bytes` to `sink`; what the sink refuses is lost.
void WriteAll(ByteSink& sink, std::span<const std::uint8_t> bytes);

/// Output kept until it is flushed.
class StreamOutput {
 public:
  void Append(std::span<const std::uint8_t> bytes);
  void Append(std::string_view text);
  /// Hands everything kept to `sink` and forgets it.
  void Flush(ByteSink& sink);
  bool Empty() const { return bytes_.empty(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace frame

#endif  // CNC64_FRAME_STREAM_CONSOLE_H_
