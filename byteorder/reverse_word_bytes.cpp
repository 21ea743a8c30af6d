// The word byte-order pass, a block at a time.
//
// The image is read in blocks of 32 KiB (a whole number of words); the
// words of each block are reversed in memory and the block is written back
// in one request. The bytes, the size and the progress dots, and when each
// dot appears, are those of a walk that reads each word and writes its four
// bytes back in reverse order: the walk's counter grows by 4 per word, a
// dot is shown each time it reaches a multiple of 1 MiB, and since 1 MiB is
// a whole number of blocks, every dot falls on a block's end, after every
// word below it is written.
//
// A last word shorter than 4 bytes is left as it is, so the image is never
// lengthened and two runs always give it back. It is still a started word:
// the counter passes it and reaches the next multiple of 4, which may earn
// a dot.
#include "byteorder/reverse_word_bytes.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "frame/tool_frame.h"
#include "frame/widest_vectors.h"

namespace byteorder {
namespace {

using frame::FilePosition;

constexpr std::int64_t kMiB = 1048576;
constexpr std::uint16_t kBlockSize = 32768;
static_assert(kBlockSize % 4 == 0, "a block holds whole words");
static_assert(kMiB % kBlockSize == 0, "dots must fall on block ends");

// Shows a dot for every multiple of 1 MiB in (done, upTo].
void ShowDots(std::int64_t& done, std::int64_t upTo) {
  for (std::int64_t next = (done / kMiB + 1) * kMiB; next <= upTo; next += kMiB) {
    frame::WriteText('.');
  }
  done = std::max(done, upTo);
}

// Built for the widest vector instructions the processor offers.

// Reverses the bytes of each of the `count` / 4 words at `bytes`.
CNC64_WIDEST_VECTORS void ReverseWords(std::uint8_t* bytes, std::size_t count) {
  for (std::size_t at = 0; at + 4 <= count; at += 4) {
    std::uint32_t word;
    std::memcpy(&word, bytes + at, 4);
    word = __builtin_bswap32(word);
    std::memcpy(bytes + at, &word, 4);
  }
}

}  // namespace

void ReverseOpenWords(frame::TargetFile& image) {
  std::array<std::uint8_t, kBlockSize> block{};
  std::int64_t dotted = 0;  // the counter value up to which dots are shown
  std::int64_t start = 0;   // offset of the block in hand

  // The size is asked once: the file is held against other programs and
  // the pass never lengthens it, so it cannot change while the pass runs.
  // A pending failure ends the pass as the end test would.
  const std::int64_t size = image.SizeInBytes();
  while (start < size && frame::PendingIoFailure() == 0) {
    image.SeekTo(static_cast<FilePosition>(start));
    const std::uint16_t count = image.ReadBytes(block.data(), kBlockSize);
    if (count == 0) break;
    const std::size_t whole = count & ~std::size_t{3};
    ReverseWords(block.data(), whole);
    if (whole != 0) {
      image.SeekTo(static_cast<FilePosition>(start));
      image.WriteBytes(block.data(), static_cast<std::uint16_t>(whole));
    }
    const std::int64_t end = start + count;
    // Past a partial last word too, so that the end test sees the end.
    image.SeekTo(static_cast<FilePosition>(end));
    ShowDots(dotted, start + static_cast<std::int64_t>((count + 3u) & ~3u));
    start = end;
  }
}

void ReverseWordBytes(std::string_view argument) {
  std::optional<frame::TargetFile> image = frame::OpenTargetOrReport(argument);
  if (!image) return;
  frame::UninterruptedSection uninterrupted;
  frame::WriteText("Fixing");
  image->BeginChange();
  ReverseOpenWords(*image);
  image->FlushToStorage();
  image->EndChange();
  frame::WriteLine();
  frame::WriteLine("Done.");
  image->CloseTarget();
}

}  // namespace byteorder
