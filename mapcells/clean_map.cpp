// The map cell pass, a block at a time.
//
// The map is read in blocks of 32 KiB; the rule is applied to the cells of
// each block in memory, and the stretch of the block from its first to its
// last selected cell is written back in one request. Cells outside that
// stretch are never written; cells inside it that the rule does not select
// are written back with the bytes just read, which leaves them as they are.
// The result, the progress marks and when each appears are those of a walk
// that reads and rewrites the map cell by cell: a mark for a counter value
// is shown once every cell below it is done, and since 1 MiB is a whole
// number of blocks, every mark falls on a block's end.
//
// The walk's end test looks at where its last operation left the file
// position, which lags behind the next cell when the last cell was not
// rewritten: the walk then makes one more, empty, iteration and applies
// the mark rule to the size plus 2. A trailing single byte is never
// rewritten (the file is never lengthened), so an odd-sized map always
// takes that empty iteration after its partial cell.
#include "mapcells/clean_map.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "frame/tool_frame.h"
#include "frame/widest_vectors.h"

namespace mapcells {
namespace {

using frame::FilePosition;

constexpr FilePosition kMiB = 1048576;
constexpr std::uint16_t kBlockSize = 32768;
static_assert(kMiB % kBlockSize == 0, "marks must fall on block ends");

constexpr bool PelloranSelects(std::uint8_t first, std::uint8_t second) {
  return first != 0xFF && second != 0xFF;
}

constexpr bool DravimundSelects(std::uint8_t first, std::uint8_t /*second*/) {
  return first == 0x00;
}

// The bytes of a cell held as one 16-bit value in memory order.
constexpr std::uint8_t FirstByte(std::uint16_t cell) {
  return static_cast<std::uint8_t>(std::endian::native == std::endian::little ? cell : cell >> 8);
}
constexpr std::uint8_t SecondByte(std::uint16_t cell) {
  return static_cast<std::uint8_t>(std::endian::native == std::endian::little ? cell >> 8 : cell);
}
constexpr std::uint16_t CellOf(std::uint8_t first, std::uint8_t second) {
  return std::endian::native == std::endian::little
             ? static_cast<std::uint16_t>(first | (second << 8))
             : static_cast<std::uint16_t>((first << 8) | second);
}

// Sixteen cells at a time, as the processor's vector registers hold them.
using CellLanes = std::uint16_t __attribute__((vector_size(32)));
using ByteLanes = std::uint8_t __attribute__((vector_size(32)));
constexpr std::size_t kLanes = sizeof(CellLanes) / sizeof(std::uint16_t);

// All ones in the lanes of the cells the rule selects, zero elsewhere.
[[gnu::always_inline]] inline void PelloranLanes(const CellLanes& cells, CellLanes& selected) {
  // Neither byte is 0xFF: no byte of the lane compares equal to it.
  ByteLanes bytes;
  std::memcpy(&bytes, &cells, sizeof bytes);
  const auto isFF = bytes == 0xFF;
  CellLanes anyFF;
  std::memcpy(&anyFF, &isFF, sizeof anyFF);
  const auto none = anyFF == 0;
  std::memcpy(&selected, &none, sizeof selected);
}

[[gnu::always_inline]] inline void DravimundLanes(const CellLanes& cells, CellLanes& selected) {
  constexpr std::uint16_t kFirstByte = CellOf(0xFF, 0x00);
  const auto zero = (cells & kFirstByte) == 0;
  std::memcpy(&selected, &zero, sizeof selected);
}

// The rule applied to a block, with the test inlined: the selected
// stretch is found from both ends, then rewritten sixteen cells at a time
// without branches.
template <bool (*Selects)(std::uint8_t, std::uint8_t),
          void (*SelectedLanes)(const CellLanes&, CellLanes&), std::uint8_t First,
          std::uint8_t Second>
[[gnu::always_inline]] inline std::optional<SelectedCells> RewriteBlock(std::uint16_t* cells,
                                                                        std::size_t count) {
  const auto selects = [](std::uint16_t cell) {
    return Selects(FirstByte(cell), SecondByte(cell));
  };
  std::size_t first = 0;
  while (first < count && !selects(cells[first])) ++first;
  if (first == count) return std::nullopt;
  std::size_t end = count;
  while (!selects(cells[end - 1])) --end;
  constexpr std::uint16_t kReplacement = CellOf(First, Second);
  std::size_t i = first;
  for (; i + kLanes <= end; i += kLanes) {
    CellLanes lanes;
    std::memcpy(&lanes, cells + i, sizeof lanes);
    CellLanes selected;
    SelectedLanes(lanes, selected);
    lanes = (lanes & ~selected) | (kReplacement & selected);
    std::memcpy(cells + i, &lanes, sizeof lanes);
  }
  for (; i < end; ++i) {
    const std::uint16_t cell = cells[i];
    cells[i] = selects(cell) ? kReplacement : cell;
  }
  return SelectedCells{first, end - 1};
}

// Each rule's block function, built for the widest vector instructions the
// processor offers.

CNC64_WIDEST_VECTORS std::optional<SelectedCells> RewritePelloranBlock(std::uint16_t* cells,
                                                                       std::size_t count) {
  return RewriteBlock<PelloranSelects, PelloranLanes, 0x01, 0x00>(cells, count);
}

CNC64_WIDEST_VECTORS std::optional<SelectedCells> RewriteDravimundBlock(std::uint16_t* cells,
                                                                        std::size_t count) {
  return RewriteBlock<DravimundSelects, DravimundLanes, 0xFF, 0x00>(cells, count);
}

// Shows the marks for every counter value in (done, upTo], in order.
void ShowMarks(std::int64_t& done, std::int64_t upTo) {
  std::int64_t next = (done / kMiB + 1) * kMiB;
  for (; next <= upTo; next += kMiB) {
    if (const auto mark = ProgressMark(static_cast<FilePosition>(next))) frame::WriteText(*mark);
  }
  if (upTo > done) done = upTo;
}

}  // namespace

const CellRule kPelloranRule{PelloranSelects, 0x01, 0x00, RewritePelloranBlock};
const CellRule kDravimundRule{DravimundSelects, 0xFF, 0x00, RewriteDravimundBlock};

std::optional<char> ProgressMark(FilePosition counter) {
  if (counter % (10 * kMiB) == 0) return '*';
  if (counter % (5 * kMiB) == 0) return '-';
  if (counter % kMiB == 0) return '.';
  return std::nullopt;
}

void CleanOpenMap(const CellRule& rule, frame::TargetFile& map) {
  std::array<std::uint16_t, kBlockSize / 2> block{};
  std::int64_t marked = 0;         // the counter value up to which marks are shown
  std::int64_t start = 0;          // offset of the block in hand
  bool lastCellRewritten = false;  // of the last whole cell handled
  bool partialCell = false;        // the map ended in a single byte

  // The size is asked once: the file is held against other programs and
  // the pass never lengthens it, so it cannot change while the pass runs.
  // A pending failure ends the pass as the end test would.
  const std::int64_t size = map.SizeInBytes();
  while (start < size && frame::PendingIoFailure() == 0) {
    map.SeekTo(static_cast<FilePosition>(start));
    const std::uint16_t count = map.ReadBytes(block.data(), kBlockSize);
    if (count == 0) break;
    const std::size_t cells = count / 2u;
    const std::optional<SelectedCells> selected = rule.rewriteBlock(block.data(), cells);
    if (cells != 0) lastCellRewritten = selected && selected->last == cells - 1;
    partialCell = (count % 2u) != 0;
    if (selected) {
      map.SeekTo(static_cast<FilePosition>(start + static_cast<std::int64_t>(2 * selected->first)));
      map.WriteBytes(&block[selected->first],
                     static_cast<std::uint16_t>(2 * (selected->last - selected->first + 1)));
    }
    const std::int64_t end = start + count;
    map.SeekTo(static_cast<FilePosition>(end));
    ShowMarks(marked, end - (partialCell ? 1 : 0));
    start = end;
  }

  // The counter's last values: a partial cell's iteration and the empty
  // one after it, or the empty iteration after a last cell left as it was.
  const std::int64_t walked = start;
  std::int64_t finalCounter = walked;
  if (partialCell) {
    finalCounter = walked + 3;
  } else if (walked != 0 && !lastCellRewritten) {
    finalCounter = walked + 2;
  }
  ShowMarks(marked, finalCounter);
}

void CleanMap(const CellRule& rule, std::string_view argument) {
  std::optional<frame::TargetFile> map = frame::OpenTargetOrReport(argument);
  if (!map) return;
  frame::UninterruptedSection uninterrupted;
  frame::WriteText("Fixing: [*");
  map->BeginChange();
  CleanOpenMap(rule, *map);
  map->FlushToStorage();
  map->EndChange();
  frame::WriteLine("]");
  frame::WriteLine("Done.");
  map->CloseTarget();
}

}  // namespace mapcells
