// Byte streams as a console.
#include "frame/stream_console.h"

#include <algorithm>

namespace frame {

ConsoleEvent ByteEvent(std::uint8_t byte) {
  return ConsoleEvent{.kind = ConsoleEventKind::kByte, .character = byte};
}

ConsoleEvent EndOfInput() { return ConsoleEvent{.kind = ConsoleEventKind::kEndOfInput}; }

bool StreamInput::Take(ByteSource& source, ConsoleEvent& event) {
  if (taken_ == pending_.size() && !ended_) {
    pending_.clear();
    taken_ = 0;
    ended_ = !source.Read(pending_, false);
  }
  if (taken_ < pending_.size()) {
    event = ByteEvent(pending_[taken_++]);
    return true;
  }
  if (ended_) {
    event = EndOfInput();
    return true;
  }
  return false;
}

void StreamInput::Wait(ByteSource& source) {
  if (ended_ || taken_ < pending_.size()) return;
  pending_.clear();
  taken_ = 0;
  ended_ = !source.Read(pending_, true);
}

void WriteAll(ByteSink& sink, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const long written = sink.WriteSome(bytes);
    if (written < 0) return;
    bytes = bytes.subspan(std::min(static_cast<std::size_t>(written), bytes.size()));
  }
}

void StreamOutput::Append(std::span<const std::uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

void StreamOutput::Append(std::string_view text) {
  bytes_.insert(bytes_.end(), text.begin(), text.end());
}

void StreamOutput::Flush(ByteSink& sink) {
  WriteAll(sink, bytes_);
  bytes_.clear();
}

}  // namespace frame
